// The GeoPackage output (--gpkg): the run as one SQLite database that a GIS opens directly,
// written through GDAL, with two layers in WGS 84 (EPSG:4326), each with a spatial index:
//
//   records  one feature per record, every one (no thinning): a point at its position, or no
//            geometry for a record without one, so that the layer holds the whole run as
//            the CSV does and a GIS draws those it can place (a position that is not a
//            finite number counts as none). Fields as the CSV's: index,
//            test_time and stamp_time (DateTime, UTC, to the millisecond), message_code
//            ("0x" and 8 hex digits), message_class and payload_length (integers, null when
//            there is none);
//   track    one line through the fixes with their count and the first and last fix times;
//            a single fix is a line of two equal points (the layer holds lines only); no
//            feature without a fix.
//
// A GeoPackage is a database written in place, never a stream: standard output, a
// descriptor, a device, a FIFO and a socket are refused by Open.
//
// How the file still appears whole or not at all: the output is a TOutputFile opened by name,
// so that SQLite writes the unnamed file itself through /proc/self/fd/N (a hidden temporary
// name where the file system has no unnamed files). Three things make that work:
//   - GDAL refuses to create a GeoPackage over an existing file, and the unnamed file exists:
//     an empty GeoPackage is made in GDAL's memory file system and its bytes are copied in,
//     then GDAL opens the file for update;
//   - SQLite's own file layer resolves /proc/self/fd/N as a symbolic link to the deleted
//     name and fails, so GDAL's file layer is used instead (SQLITE_USE_OGR_VFS), which opens
//     the name as it stands;
//   - SQLite cannot create a journal beside /proc/self/fd/N: the journal is kept in memory
//     (it holds only the few pages of the empty database that the run changes) and nothing
//     is synced on the way; the set syncs the finished file before it publishes it. A killed
//     run leaves no file, so a journal on disk would have nothing to recover.
// Every row goes in one transaction, which Make commits before it closes the dataset.
//
// The records' spatial index is GDAL's (its tables, triggers and declaration), but it is
// filled in bulk as the rows come (TPackedRtree, through GDAL's SQLite connection) rather
// than by SQLite row by row, which cost several times as much as the rows themselves.
//
// The output is made by one thread at a time; GDAL's messages never reach the terminal (a
// quiet error handler is installed for the whole process the first time a GeoPackage is
// opened; failures are reported through the output's own messages).
#pragma once

#include <memory>

#include "host/outputs/Output.h"

namespace n95::host {

// Needs kEveryRow. Where the program was built without GDAL, its Open fails with a message
// that says so.
std::unique_ptr<IOutput> MakeGpkgOutput();

// --gpkg: not written by -o, as it costs several times what the text outputs cost (the same
// in both builds; the one without GDAL refuses it when it is opened).
inline constexpr TOutputKind kGpkgOutputKind = {
    .Name = "gpkg",
    .Option = "--gpkg",
    .Value = "FILE",
    .Suffix = nullptr,
    .Help =
        "Write a GeoPackage (GDAL): every record as a point and the track as a line, with "
        "a spatial index",
    .Needs = kEveryRow,
    .Create = MakeGpkgOutput,
};

}  // namespace n95::host
