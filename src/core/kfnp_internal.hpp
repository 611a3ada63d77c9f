// Shared pieces of the file-name module: the scanners for file names, node
// paths and file-node lists, range selection by part masks, and protection.
#pragma once

#include <kraster/kerr.h>
#include <kraster/kmsc.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

namespace kr::fnp {

// A printable byte of a name: 32 to 126, or 128 and above.
inline bool printable(unsigned char c) {
    return (c >= 32 && c != 127);
}

struct HeapFree {
    void operator()(char *p) const { kmsc_HeapFree(p); }
};
using HeapStr = std::unique_ptr<char, HeapFree>;

// Half-open byte range [begin, end) of a source string.
struct Span {
    size_t begin = 0;
    size_t end = 0;
    size_t size() const { return end - begin; }
};

// Heap copy of a byte range; NULL with "No memory" under `fn`.
char *heapCopy(std::string_view s, const char *fn, int code, Kerr_ErrorReport **err);

// Resolves an index that may count from the end: -1 is count-1. The result
// may lie outside [0, count).
inline int64_t fromEnd(int32_t index, size_t count) {
    return index < 0 ? static_cast<int64_t>(count) + index : index;
}
// Same, clamped into [0, count-1] (0 when count is 0).
size_t clampIndex(int32_t index, size_t count);

// Mask checks: 0 valid, 1 no bit set, 2 bits outside `all`, 3 not consecutive.
int maskProblem(uint32_t mask, uint32_t all);
// Raises the message for a mask problem under fn with the given code.
void reportMask(int problem, const char *fn, int code, Kerr_ErrorReport **err);
// Lowest and highest set bit numbers of a valid mask.
int lowBit(uint32_t mask);
int highBit(uint32_t mask);

// ---- File names ----

// Parts of a file name: boundaries b[0..5] in path order; bit i of a mask
// selects [b[i], b[i+1]).
struct FileNameParts {
    size_t driveEnd = 0;
    size_t rootEnd = 0;
    std::vector<Span> components;
    size_t length = 0;
    bool unc = false;  // exactly "//" and no drive
};
// Step "FileNameParse": NULL is the only failure.
bool parseFileName(const char *name, FileNameParts &parts, Kerr_ErrorReport **err);
Span fileNameRange(const FileNameParts &parts, uint32_t mask, int32_t index);

// ---- Node paths ----

struct NodePathParts {
    size_t rootEnd = 0;
    std::vector<Span> names;  // as written, protection kept
    size_t length = 0;
};
// Step "NodePathParse": NULL, a control character, or a final lone backslash.
bool parseNodePath(const char *path, NodePathParts &parts, Kerr_ErrorReport **err);
Span nodePathRange(const NodePathParts &parts, uint32_t mask, int32_t index);

// ---- Protection ----

enum class Protect {
    All,       // every backslash protects the next byte (file names, titles, node names)
    ListOnly,  // only the protection of "(", "," and ")" (node paths inside a list)
};
// Step "Strip": heap copy of the range without its protection.
char *strip(std::string_view s, Protect mode, Kerr_ErrorReport **err);

enum class Context { FileName, Title, NodePath };
// Step "Enclose": heap copy with the protection the context of a list needs.
char *enclose(std::string_view s, Context context, Kerr_ErrorReport **err);

// ---- File-node lists ----

struct RawItem {
    Span whole;  // the item's text, without the "," that follows it
    Span fileName;
    bool hasTitle = false;
    Span title;
    std::vector<Span> nodePaths;  // each starts with ":"
};
// Step "FileNodeListParse": spans of every item, as written.
bool parseFileNodeList(const char *list, std::vector<RawItem> &items, Kerr_ErrorReport **err);

}  // namespace kr::fnp
