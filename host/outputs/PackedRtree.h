// An SQLite R*Tree index of points filled in bulk: the GeoPackage's spatial index of millions
// of records, built as they come at a small fraction of what SQLite's own insertion costs
// (it reads and rewrites several nodes for every point, several times the cost of the row).
//
// The points are packed in the order they come, a full node at a time: a drive's records
// come in the order they were driven, so neighbours in that order are neighbours on the
// ground, and a node's box stays small. The tree is written into the virtual table's shadow
// tables (%_node, %_rowid, %_parent) in SQLite's own format:
//   a node    is a blob of the table's node size: depth of the tree (2 bytes, big-endian,
//             read in the root only), number of cells (2 bytes), then the cells;
//   a cell    is the entry's id or the child node's number (8 bytes), then min x, max x,
//             min y, max y as 32-bit floats (4 bytes each), all big-endian; a box's floats
//             are rounded outwards so that it holds the doubles it stands for;
//   the root  is node 1, a leaf while every point fits in it.
// Memory: one node's points, and a box per node of the levels above the leaves.
//
// The table must be empty and the writes are the caller's transaction's. Not thread-safe;
// one owner, on the database connection's thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace n95::host {

class TPackedRtree {
public:
    TPackedRtree() = default;
    TPackedRtree(const TPackedRtree&) = delete;
    TPackedRtree& operator=(const TPackedRtree&) = delete;
    ~TPackedRtree() { Close(); }

    // Starts on the empty 2-dimensional R*Tree `table` of `db` (CREATE VIRTUAL TABLE ... USING
    // rtree(id, minx, maxx, miny, maxy)). False, with SQLite's message, when it cannot be.
    bool Start(sqlite3* db, const std::string& table, std::string* error);
    // Adds the point (x, y) with `id`. False, with a message, when a write failed.
    bool Add(int64_t id, double x, double y, std::string* error);
    // Writes the last leaf and the levels above it up to the root. False, with a message,
    // when a write failed.
    bool Finish(std::string* error);
    // Lets the statements go (before the connection is closed). Safe to call more than once.
    void Close();

private:
    struct TBox {
        float MinX, MaxX, MinY, MaxY;
    };
    struct TCell {
        int64_t Id;  // an entry's id, or a child node's number
        TBox Box;
    };

    // Writes the points gathered as a leaf of its own.
    bool WriteLeaf(std::string* error);
    static TBox Union(const std::vector<TCell>& cells);
    // Writes node `node` holding `cells` (and the depth in the root); each cell becomes a
    // row of %_rowid (a leaf's) or %_parent (a child node's).
    bool WriteNode(int64_t node, const std::vector<TCell>& cells, bool leaf, int depth,
                   std::string* error);
    bool Step(sqlite3_stmt* statement, int64_t a, int64_t b, std::string* error);
    bool Failed(std::string* error) const;

    sqlite3* Db = nullptr;
    sqlite3_stmt* InsertNode = nullptr;
    sqlite3_stmt* InsertRowid = nullptr;
    sqlite3_stmt* InsertParent = nullptr;
    std::size_t NodeSize = 0;   // bytes of a node's blob
    std::size_t NodeCells = 0;  // cells a node holds
    std::vector<TCell> Leaf;    // the points of the leaf being filled
    std::vector<TCell> Leaves;  // a cell per leaf written
    std::vector<uint8_t> Blob;
    int64_t NextNode = 2;  // 1 is the root's
};

}  // namespace n95::host
