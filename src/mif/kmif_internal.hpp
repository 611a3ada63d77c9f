// Internals of the MIF type system shared by the dictionary, design and
// encoding code: the item type table, host ABI facts and layout, design
// object helpers and the built-in generic data design.
#pragma once

#include <kraster/kmif.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>

namespace kr::mif {

// How the encoder and decoder convert the elements of an item type.
enum class ElementKind {
    Plain,     // bytes as they are (little-endian host): fileBits / 8 per element
    Enum,      // 32-bit host values, 16 bits in files
    Bits,      // 1, 2 or 4 bits per element, packed in files
    Design,    // nested design (codes 1 and 2)
    BaseData,  // generic data object
};

// Static facts of one item type that do not depend on the host.
struct TypeInfo {
    char letter;       // letter in dictionary strings
    int32_t fileBits;  // bits of one element in files; 0 for designs (codes 1, 2: from the design)
    ElementKind kind;
    const char *writer;  // names under which the encoder and decoder report
    const char *reader;
};

// Facts of codes 1 to 19, or NULL for any other code.
const TypeInfo *typeInfo(int code);
// Type code of a dictionary-string letter, or 0.
int typeFromLetter(int c);
inline bool hasNestedDesign(int code) {
    return code == KMIF_TYPE_NESTED || code == KMIF_TYPE_REFERENCE || code == KMIF_TYPE_BASEDATA;
}

// Host ABI facts from which every host layout is computed. Element sizes and
// alignments are indexed by type code; codes 1 and 2 take theirs from the
// nested design.
struct HostAbi {
    int32_t elementSize[KMIF_TYPE_LAST + 1];
    int32_t elementAlign[KMIF_TYPE_LAST + 1];
    int32_t pointerSize, pointerAlign;  // '*' item
    int32_t countedSize, countedAlign;  // 'p' item: a 32-bit count, then a pointer
    int32_t countedPointerOffset;       // offset of the pointer inside a 'p' item
};

// This compiler's layout; every design the library builds uses it.
extern const HostAbi kNativeAbi;
// 4-byte pointers and 8-byte values aligned to 4 (the classic 32-bit layout).
extern const HostAbi kIlp32Abi;

// Running layout of one design while its items are added.
struct LayoutState {
    int64_t hostOffset = 0;
    int32_t alignment = 0;
    int64_t fileSize = 0;
};

// Sets an item's element sizes, sizes and host offset from its type, count,
// flags and nested design (already laid out), and advances the state.
// Returns false (item untouched) on an unknown type, a missing nested design,
// a negative count or sizes beyond 32 bits.
bool layoutItem(Kmif_Item *item, const HostAbi &abi, LayoutState &state);
// Sets a design's alignment, host size and file size from the state; false
// when a size passes 32 bits.
bool finishLayout(Kmif_Design *design, const LayoutState &state);
// Lays a design and every nested design inside it out again under an ABI.
bool layoutDesign(Kmif_Design *design, const HostAbi &abi);

// Object helpers without reports (NULL when memory runs out).
Kmif_Item *newItem();
Kmif_Design *newDesign();
void freeItem(Kmif_Item *item);
void freeDesign(Kmif_Design *design);  // items and nested designs; no unlinking
Kmif_Design *copyDesign(const Kmif_Design *design);
// Appends to an item list whose last item is *tail (NULL for an empty list).
void appendItem(Kmif_Design *design, Kmif_Item *&tail, Kmif_Item *item);
// Items of the design counting those of nested designs; stops counting past limit.
int64_t designWeight(const Kmif_Design *design, int64_t limit);
// 1 for a design without nested designs, else 1 + the deepest nested design.
int designDepth(const Kmif_Design *design);

// Deepest nesting of designs the decoder accepts, and the most items
// (nested copies included) one decoding may create.
constexpr int kMaxNesting = 64;
constexpr int64_t kMaxDecodedItems = int64_t{1} << 18;

// The built-in Kgda_BaseData design, created once per process; owned by the library.
Kmif_Design *baseDataDesign(Kerr_ErrorReport **err);

// Names of the designs of a dictionary, for lookups in constant time.
using NameIndex = std::unordered_map<std::string_view, Kmif_Design *>;
void indexDictionary(const Kmif_Dictionary *dictionary, NameIndex &index);

// kmif_DictionaryAddDesign with an index of the dictionary kept up to date.
// On failure the dictionary and the index are unchanged.
Kmif_Design *addDesign(Kmif_Dictionary *dictionary, const Kmif_Design *design, NameIndex &index,
                       Kerr_ErrorReport **err);

// Readable listing of a design, or of a dictionary with all its designs
// (may throw std::bad_alloc).
std::string listing(const Kmif_Dictionary *dictionary, const Kmif_Design *design);

}  // namespace kr::mif
