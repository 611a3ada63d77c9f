// Internal services of the entry tree: the path table (path text -> entry
// position), the entry table (position -> record copy), the path buffer of
// the current entry, and the seek steps shared by the tree, object and
// listing code. Callers hold the thread-unsafe section (kr::hfa::Operation).
#pragma once

#include <kraster/khfa.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "core/heap_allocator.hpp"
#include "core/report.hpp"
#include "hfa/khfa_internal.hpp"

namespace kr::hfa {

using PathString = std::basic_string<char, std::char_traits<char>, HeapAllocator<char>>;

// ---- Tables (khfa_paths.cpp) -----------------------------------------------
// Table operations may throw std::bad_alloc; the public functions catch it.

// Creates the two tables when missing.
void tablesCreate(Khfa_File *file);
// Frees both tables.
void tablesFree(Khfa_File *file);
// Drops every entry of both tables (the file changed behind them).
void tablesClear(Khfa_File *file);
// Path table; key is a path text as kept in the buffer (":a:b:").
void pathHash(Khfa_File *file, std::string_view key, uint32_t pos);
bool pathLookup(const Khfa_File *file, std::string_view key, uint32_t &pos);
// Removes the key, and with subtree every key that starts with it.
void pathUnhash(Khfa_File *file, std::string_view key, bool subtree);
// Renames every key that starts with from to start with to instead.
void pathRehashSubtree(Khfa_File *file, std::string_view from, std::string_view to);
size_t pathTableSize(const Khfa_File *file);
// Entry table.
void entryForget(Khfa_File *file, uint32_t pos);
size_t entryTableSize(const Khfa_File *file);

// The record at pos: from the entry table when a copy with a non-zero
// modTime is there (outside batch mode), else read from the file (and kept).
bool entryRead(Khfa_File *file, uint32_t pos, Khfa_Entry &rec, const char *fn,
               Kerr_ErrorReport **err);
// Writes the record to the file and keeps a copy.
bool entryWrite(Khfa_File *file, uint32_t pos, const Khfa_Entry &rec, const char *fn,
                Kerr_ErrorReport **err);

// ---- Path buffer (khfa_paths.cpp) -----------------------------------------

std::string_view currentPath(const Khfa_File *file);
// The path of the current entry's parent (":" at the root and below it).
std::string_view parentPath(const Khfa_File *file);
// Replaces the path buffer.
void pathSet(Khfa_File *file, std::string_view path);
// Normalises a path to the buffer's form (":" + names each followed by ":"),
// resolving a relative path against base. Empty names are skipped.
PathString pathKey(std::string_view base, std::string_view path);

// ---- Steps (khfa_entry.cpp) -------------------------------------------------

// Makes the record at pos with that path current, entering the path in the
// path table.
void makeCurrent(Khfa_File *file, uint32_t pos, const Khfa_Entry &rec, std::string_view path);
// The seek worker (method, name rules checked by the caller). NULL when not
// found; a fault leaves a report in e.
Khfa_Entry *seek(Khfa_File *file, int method, const char *name, kr::Report &e);
// The most entry records a walk may visit in this file.
int64_t visitCap(const Khfa_File *file);
// One step of a depth-first pre-order walk below the entry it started at
// (depth 0): makes the next entry current and updates depth. False when the
// walk is over, or on a fault (with a report in e).
bool stepPreOrder(Khfa_File *file, int64_t &depth, kr::Report &e);
// Deletes the current entry and its subtree.
bool deleteCurrent(Khfa_File *file, Kerr_ErrorReport **err);
// khfa_EntryWrite without the change protocol.
Khfa_Entry *entryWriteMode(Khfa_File *file, int mode, const char *name, const char *type,
                           Kerr_ErrorReport **err);
// Batch mode on (the current entry becomes the start entry and leaves the
// entry table) and off (the current entry and its ancestors are entered in
// the tables again).
void batchBegin(Khfa_File *file);
bool batchEnd(Khfa_File *file, Kerr_ErrorReport **err);
// Saved positions without the change protocol.
bool positionRestore(Khfa_File *file, std::string_view path, uint32_t pos, Kerr_ErrorReport **err);

}  // namespace kr::hfa
