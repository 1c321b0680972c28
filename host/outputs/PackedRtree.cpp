#include "host/outputs/PackedRtree.h"

#include <sqlite3.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <limits>

namespace n95::host {

namespace {

// The float at or below `d`, and at or above it: a box never shrinks below its points.
float Down(double d) {
    const float f = static_cast<float>(d);
    return static_cast<double>(f) > d ? std::nextafter(f, -std::numeric_limits<float>::infinity())
                                      : f;
}
float Up(double d) {
    const float f = static_cast<float>(d);
    return static_cast<double>(f) < d ? std::nextafter(f, std::numeric_limits<float>::infinity())
                                      : f;
}

uint8_t* PutBig(uint8_t* at, uint64_t value, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) {
        at[i] = static_cast<uint8_t>(value);
        value >>= 8;
    }
    return at + bytes;
}

}  // namespace

bool TPackedRtree::Failed(std::string* error) const {
    *error = sqlite3_errmsg(Db);
    return false;
}

bool TPackedRtree::Start(sqlite3* db, const std::string& table, std::string* error) {
    Close();
    Db = db;
    // The node size is that of the empty root the table was created with.
    sqlite3_stmt* size = nullptr;
    const std::string quoted = "\"" + table;
    const std::string query = "SELECT length(data) FROM " + quoted + "_node\" WHERE nodeno = 1";
    if (sqlite3_prepare_v2(db, query.c_str(), -1, &size, nullptr) != SQLITE_OK)
        return Failed(error);
    if (sqlite3_step(size) == SQLITE_ROW)
        NodeSize = static_cast<std::size_t>(sqlite3_column_int(size, 0));
    sqlite3_finalize(size);
    constexpr std::size_t kHeader = 4, kCell = 8 + 4 * 4;
    if (NodeSize < kHeader + 2 * kCell) {
        *error = "the R*Tree " + table + " has no root node";
        return false;
    }
    NodeCells = (NodeSize - kHeader) / kCell;
    const std::string node = "INSERT OR REPLACE INTO " + quoted + "_node\" VALUES (?, ?)";
    const std::string rowid = "INSERT INTO " + quoted + "_rowid\" VALUES (?, ?)";
    const std::string parent = "INSERT INTO " + quoted + "_parent\" VALUES (?, ?)";
    if (sqlite3_prepare_v2(db, node.c_str(), -1, &InsertNode, nullptr) != SQLITE_OK ||
        sqlite3_prepare_v2(db, rowid.c_str(), -1, &InsertRowid, nullptr) != SQLITE_OK ||
        sqlite3_prepare_v2(db, parent.c_str(), -1, &InsertParent, nullptr) != SQLITE_OK) {
        Failed(error);
        Close();
        return false;
    }
    Leaf.reserve(NodeCells);
    Blob.assign(NodeSize, 0);
    return true;
}

bool TPackedRtree::Add(int64_t id, double x, double y, std::string* error) {
    Leaf.push_back({id, {Down(x), Up(x), Down(y), Up(y)}});
    return Leaf.size() < NodeCells || WriteLeaf(error);
}

bool TPackedRtree::WriteLeaf(std::string* error) {
    // Any leaf but the root, which is written last, at Finish.
    const int64_t node = NextNode++;
    Leaves.push_back({node, Union(Leaf)});
    const bool ok = WriteNode(node, Leaf, true, 0, error);
    Leaf.clear();
    return ok;
}

TPackedRtree::TBox TPackedRtree::Union(const std::vector<TCell>& cells) {
    TBox box = cells.front().Box;
    for (const TCell& cell : cells) {
        box = {std::min(box.MinX, cell.Box.MinX), std::max(box.MaxX, cell.Box.MaxX),
               std::min(box.MinY, cell.Box.MinY), std::max(box.MaxY, cell.Box.MaxY)};
    }
    return box;
}

bool TPackedRtree::Finish(std::string* error) {
    if (Leaves.empty())  // every point fits in the root (or there is none)
        return Leaf.empty() || WriteNode(1, Leaf, true, 0, error);
    if (!Leaf.empty() && !WriteLeaf(error))
        return false;
    // The levels above the leaves, each a node per NodeCells nodes of the level below,
    // until one node holds them all: the root.
    std::vector<TCell> level = std::move(Leaves);
    Leaves.clear();
    int depth = 1;
    for (; level.size() > NodeCells; ++depth) {
        std::vector<TCell> above;
        for (std::size_t first = 0; first < level.size(); first += NodeCells) {
            const std::vector<TCell> children(
                level.begin() + static_cast<std::ptrdiff_t>(first),
                level.begin() +
                    static_cast<std::ptrdiff_t>(std::min(first + NodeCells, level.size())));
            const int64_t node = NextNode++;
            above.push_back({node, Union(children)});
            if (!WriteNode(node, children, false, 0, error))
                return false;
        }
        level = std::move(above);
    }
    return WriteNode(1, level, false, depth, error);
}

bool TPackedRtree::Step(sqlite3_stmt* statement, int64_t a, int64_t b, std::string* error) {
    sqlite3_bind_int64(statement, 1, a);
    sqlite3_bind_int64(statement, 2, b);
    const int rc = sqlite3_step(statement);
    sqlite3_reset(statement);
    return rc == SQLITE_DONE || Failed(error);
}

bool TPackedRtree::WriteNode(int64_t node, const std::vector<TCell>& cells, bool leaf, int depth,
                             std::string* error) {
    std::fill(Blob.begin(), Blob.end(), 0);
    uint8_t* at = PutBig(Blob.data(), static_cast<uint64_t>(node == 1 ? depth : 0), 2);
    at = PutBig(at, cells.size(), 2);
    for (const TCell& cell : cells) {
        at = PutBig(at, static_cast<uint64_t>(cell.Id), 8);
        for (const float value : {cell.Box.MinX, cell.Box.MaxX, cell.Box.MinY, cell.Box.MaxY})
            at = PutBig(at, std::bit_cast<uint32_t>(value), 4);
    }
    sqlite3_bind_int64(InsertNode, 1, node);
    sqlite3_bind_blob(InsertNode, 2, Blob.data(), static_cast<int>(Blob.size()), SQLITE_STATIC);
    const int rc = sqlite3_step(InsertNode);
    sqlite3_reset(InsertNode);
    if (rc != SQLITE_DONE)
        return Failed(error);
    for (const TCell& cell : cells) {
        if (!Step(leaf ? InsertRowid : InsertParent, cell.Id, node, error))
            return false;
    }
    return true;
}

void TPackedRtree::Close() {
    for (sqlite3_stmt** statement : {&InsertNode, &InsertRowid, &InsertParent}) {
        sqlite3_finalize(*statement);
        *statement = nullptr;
    }
    Leaf.clear();
    Leaves.clear();
    NextNode = 2;
}

}  // namespace n95::host
