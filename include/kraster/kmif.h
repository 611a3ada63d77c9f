/* MIF: the self-describing type system. Items, designs (record types) and
 * dictionaries, their text form (the dictionary string) and the host and
 * file layouts derived from a design. */
#ifndef KRASTER_KMIF_H
#define KRASTER_KMIF_H

#include "kdefs.h"
#include "kerr.h"
#include "kfio.h"

KRASTER_BEGIN_DECLS

/* Item type codes, with the letter used in dictionary strings. */
typedef enum Kmif_Type {
    KMIF_TYPE_NESTED = 1,    /* 'x' nested design written in place */
    KMIF_TYPE_REFERENCE = 2, /* 'o' nested design given by name */
    KMIF_TYPE_ENUM = 3,      /* 'e' enumeration: 2 bytes in files, 32-bit in hosts */
    KMIF_TYPE_U1 = 4,        /* '1' unsigned 1-bit, one byte per value in hosts */
    KMIF_TYPE_U2 = 5,        /* '2' unsigned 2-bit */
    KMIF_TYPE_U4 = 6,        /* '4' unsigned 4-bit */
    KMIF_TYPE_U8 = 7,        /* 'C' unsigned 8-bit */
    KMIF_TYPE_S8 = 8,        /* 'c' signed 8-bit, also characters */
    KMIF_TYPE_U16 = 9,       /* 'S' */
    KMIF_TYPE_S16 = 10,      /* 's' */
    KMIF_TYPE_U32 = 11,      /* 'L' */
    KMIF_TYPE_S32 = 12,      /* 'l' */
    KMIF_TYPE_F32 = 13,      /* 'f' */
    KMIF_TYPE_F64 = 14,      /* 'd' */
    KMIF_TYPE_C64 = 15,      /* 'm' complex of two 32-bit floats */
    KMIF_TYPE_C128 = 16,     /* 'M' complex of two 64-bit floats */
    KMIF_TYPE_BASEDATA = 17, /* 'b' generic data object (an inline Kgda_BaseData) */
    KMIF_TYPE_TIME = 18,     /* 't' 64-bit time value */
    KMIF_TYPE_INT = 19       /* 'i' signed 32-bit */
} Kmif_Type;

#define KMIF_TYPE_FIRST 1
#define KMIF_TYPE_LAST 19

/* Flags of a code word in design argument tables (type code in the low 8 bits). */
#define KMIF_FLAG_COUNT 0x100           /* an explicit count follows the entry */
#define KMIF_FLAG_COUNTED_POINTER 0x200 /* 'p': count and pointer; the count defaults to 0 */
#define KMIF_FLAG_POINTER 0x400         /* '*': pointer to an array of the declared count */

/* One item of a design. Sizes are in bytes; host figures are those of this
 * process's C compiler for the equivalent struct member. */
typedef struct Kmif_Item {
    struct Kmif_Item *next;
    struct Kmif_Item *previous;
    int32_t type; /* Kmif_Type code */
    char *name;
    float fileElementSize;   /* file bytes of one element (1/8 for 1-bit values) */
    int32_t fileSize;        /* bytes in the fixed part of the file record: 8 when indirect */
    int32_t hostElementSize; /* host bytes of one element (also for indirect items) */
    int32_t hostSize;        /* bytes in the host record */
    int32_t count;           /* declared number of elements */
    uint16_t enumerationCount;
    char **enumerationNames;          /* enumerationCount heap strings */
    struct Kmif_Design *nestedDesign; /* own copy for codes 1, 2 and 17, else NULL */
    int32_t countedFlag;              /* 1 for a counted pointer ('p') */
    int32_t indirectFlag;             /* 1 for any pointer ('*' or 'p') */
    int32_t hostOffset;               /* offset of the item in the host record */
} Kmif_Item;

/* One record type. */
typedef struct Kmif_Design {
    struct Kmif_Design *next;
    struct Kmif_Design *previous;
    char *name;
    int32_t alignment; /* largest item alignment; 0 without items */
    int32_t hostSize;  /* end of the last item rounded up to the alignment */
    int32_t fileSize;  /* fixed part of the file record */
    Kmif_Item *itemList;
} Kmif_Design;

/* Designs in insertion order; names are unique. */
typedef struct Kmif_Dictionary {
    int32_t modifiedFlag; /* set whenever a design is added */
    Kmif_Design *firstDesign;
    Kmif_Design *lastDesign;
} Kmif_Dictionary;

/* The counted string of stored records (design "Kmif_String", item "0:pcstring,"):
 * count is the length including the NUL, 0 (with a NULL pointer) when empty. */
typedef struct Kmif_String {
    int32_t count;
    char *string;
} Kmif_String;

/* The dictionary string of the identity transform. */
#define KMIF_KXFR_IDENTITY_DICTIONARY "{1:lIdentity,}Kxfr_Identity,."

/* Item codes of the 13 pixel types u1 ... c128 (codes 4 to 16). */
KRASTER_API extern const Kmif_Type kmif_Type[13];
KRASTER_API const Kmif_Type *kmsc_AddressOf_kmif_Type(void);

/* Supplies the next character of a dictionary string (0 to 255), or -1 at the end. */
typedef int (*Kmif_CharReader)(void *context);

KRASTER_API Kmif_Dictionary *kmif_DictionaryCreate(Kerr_ErrorReport **err);
/* Frees the dictionary with all its designs; the report pointer is left alone. */
KRASTER_API void kmif_DictionaryDestroy(Kmif_Dictionary *dictionary, Kerr_ErrorReport **err);
/* As kmif_DictionaryDestroy, clearing the report pointer first. */
KRASTER_API void kmif_DictionaryDelete(Kmif_Dictionary *dictionary, Kerr_ErrorReport **err);

/* Decodes designs from the reader until the closing "." and adds them to
 * the dictionary (a new one when NULL). Reads nothing past the ".". When the
 * first design fails: NULL with a report (a dictionary created here is
 * freed). When a later design fails the failure is printed and the designs
 * decoded so far are kept. Designs nested more than 64 deep fail, and so does
 * text that would create more items (copies of designs used by name
 * included) than 4096 plus 4 for each character read, or 2^18 in all, so
 * that the work stays linear in the text ("More than %lld items in one
 * dictionary"). */
KRASTER_API Kmif_Dictionary *kmif_DictionaryDecode(Kmif_CharReader reader, void *context,
                                                   Kmif_Dictionary *dictionary,
                                                   Kerr_ErrorReport **err);
KRASTER_API Kmif_Dictionary *kmif_DictionaryDecodeFromString(const char *string,
                                                             Kerr_ErrorReport **err);
/* Decodes from a file handle at its position (kfio_Fgetc), stopping right
 * after the ".". */
KRASTER_API Kmif_Dictionary *kmif_DecodeDictionary(Kfio_Fd *fd, Kmif_Dictionary *dictionary,
                                                   Kerr_ErrorReport **err);

/* The dictionary string as a heap string (needs the toolkit's null device). */
KRASTER_API char *kmif_DictionaryEncodeToString(const Kmif_Dictionary *dictionary,
                                                Kerr_ErrorReport **err);
/* Writes the dictionary string at the handle's position; returns the bytes
 * written, or -1 with a report (bytes already written stay). */
KRASTER_API int32_t kmif_EncodeDictionary(Kfio_Fd *fd, const Kmif_Dictionary *dictionary,
                                          Kerr_ErrorReport **err);
/* Length of the dictionary string (measured by writing it to the null
 * device), or -1 with a report. */
KRASTER_API int32_t kmif_DictionaryEncodedLength(const Kmif_Dictionary *dictionary,
                                                 Kerr_ErrorReport **err);

/* Adds a copy of the design, preceded by copies of the nested designs it
 * uses that are not in the dictionary yet. A design of the same name already
 * there is returned instead (contents are not compared). Returns the design
 * now in the dictionary, or NULL with a report. */
KRASTER_API Kmif_Design *kmif_DictionaryAddDesign(Kmif_Dictionary *dictionary,
                                                  const Kmif_Design *design,
                                                  Kerr_ErrorReport **err);
KRASTER_API Kmif_Design *kmif_AddDesignToDictionary(Kmif_Dictionary *dictionary,
                                                    const Kmif_Design *design,
                                                    Kerr_ErrorReport **err);
/* The design of that exact name, or NULL (without a report) when none. */
KRASTER_API Kmif_Design *kmif_DictionarySearchByName(const Kmif_Dictionary *dictionary,
                                                     const char *name, Kerr_ErrorReport **err);
KRASTER_API Kmif_Design *kmif_FindDesignByName(const Kmif_Dictionary *dictionary, const char *name,
                                               Kerr_ErrorReport **err);

/* Builds a design from an argument table. Each entry: a code word (type code
 * plus KMIF_FLAG_* bits), the item name (const char *), the type's extra
 * argument, then the count when KMIF_FLAG_COUNT is set. Extra arguments: code
 * 1 a Kmif_Design * (copied), code 2 the name (const char *) of a design in
 * the given dictionary, code 3 the enumeration names (const char *) ended by
 * NULL. The table ends with a 0 code.
 *
 * The variadic form reads the code word and the count as int, names as const
 * char * and designs as Kmif_Design *; the report address follows the 0 code:
 *     kmif_DesignCreate(NULL, "Kmif_String", KMIF_TYPE_S8 | KMIF_FLAG_COUNTED_POINTER,
 *                       "string", 0, &err);
 * With a dictionary the design is added to it and the dictionary's design is
 * returned; otherwise the caller owns the returned design. */
KRASTER_API Kmif_Design *kmif_DesignCreate(Kmif_Dictionary *dictionary, const char *name, ...);
KRASTER_API Kmif_Design *kmif_DesignCreateV(Kmif_Dictionary *dictionary, const char *name,
                                            va_list args);
/* The same from an array of words: code words and counts as integers,
 * names and designs as pointers. At most `words` words are read. */
KRASTER_API Kmif_Design *kmif_DesignCreateFromTable(Kmif_Dictionary *dictionary, const char *name,
                                                    const intptr_t *table, int32_t words,
                                                    Kerr_ErrorReport **err);

/* Host layout tables. Designs are laid out for this compiler (KMIF_HOST_NATIVE);
 * KMIF_HOST_ILP32 has 4-byte pointers and 8-byte values aligned to 4, the
 * layout of the classic 32-bit platform. */
#define KMIF_HOST_NATIVE 0
#define KMIF_HOST_ILP32 1
/* Lays a design and every nested design inside it out again under a host
 * table (file sizes do not change). Returns 0, or -1 with a report. */
KRASTER_API int kmif_DesignLayout(Kmif_Design *design, int host, Kerr_ErrorReport **err);

/* Deep copy (nested designs and enumeration names included), unlinked. */
KRASTER_API Kmif_Design *kmif_DesignCopy(const Kmif_Design *design, Kerr_ErrorReport **err);
/* Unlinks the design from its neighbours and frees it with its items; the
 * report pointer is left alone. Designs inside a dictionary belong to it. */
KRASTER_API void kmif_DesignDestroy(Kmif_Design *design, Kerr_ErrorReport **err);
/* As kmif_DesignDestroy, clearing the report pointer first. */
KRASTER_API void kmif_DesignDelete(Kmif_Design *design, Kerr_ErrorReport **err);

/* Readable listings of a dictionary (every design) or of one design, with
 * sizes, offsets and nested designs. Return 0, or -1 with a report. */
KRASTER_API int kmif_FprintfDictionary(Kfio_Fd *fd, const Kmif_Dictionary *dictionary,
                                       Kerr_ErrorReport **err);
KRASTER_API int kmif_FprintfDesign(Kfio_Fd *fd, const Kmif_Design *design, Kerr_ErrorReport **err);

/* Design cache of a module: inside the global thread-unsafe section, creates
 * *dictionary when missing ("Dictionary create fail"), then *design from the
 * argument table when missing ("Design create failed"); returns the cached
 * design. The arguments after the name are those of kmif_DesignCreate,
 * including the 0 code and the report address:
 *     static Kmif_Dictionary *dictionary;
 *     static Kmif_Design *identity;
 *     Kmif_Design *d = KMIF_DESIGN_FETCH(dictionary, identity, "Kxfr_Identity",
 *                                        KMIF_TYPE_S32, "Identity", 0, err);
 * Callers report a NULL result as "KMIF_DESIGN_FETCH failed". The argument
 * expressions are evaluated on every call. */
KRASTER_API Kmif_Design *kmif_DesignFetch(Kmif_Dictionary **dictionary, Kmif_Design **design,
                                          const char *name, ...);
#define KMIF_DESIGN_FETCH(dictionary, design, name, ...) \
    kmif_DesignFetch(&(dictionary), &(design), (name), __VA_ARGS__)

/* ---- Object encoding and object services ----------------------------------
 *
 * An object is a host record laid out by a design of this process (host
 * offsets and sizes as kmif_DesignCreate and the dictionary decoder compute
 * them). Its MIF encoding is the packed little-endian byte sequence of its
 * items in design order, without padding: 8-, 16-, 32- and 64-bit numbers,
 * complex values and time values as they are; enumerations ('e') as the low
 * 16 bits of each 32-bit host value; 1-, 2- and 4-bit values packed into
 * bytes, first value in the least significant bits, a last partial byte
 * padded with zero bits (one host byte per value); nested designs ('x',
 * 'o') element by element; generic data objects ('b') as a 12-byte header
 * (numrows, numcolumns as 32-bit values, datatype, objecttype as 16-bit
 * values) followed by the values, column by column for a matrix and row by
 * row otherwise, each column or row starting on a byte boundary.
 *
 * Indirect items ('*', 'p') are an 8-byte header, the element count and the
 * 32-bit position of the byte following the header (a file offset, or in
 * memory the address or the caller's position, see below), followed at once
 * by the elements. A plain pointer ('*') writes its declared count, or 0 when
 * the pointer is NULL; a counted pointer ('p') writes its host count (0 when
 * the pointer is NULL). Decoding a '*' item accepts only the counts 0 and the
 * declared count.
 *
 * Decoding fills an existing object: arrays whose size changes are replaced
 * (a count of 0 frees them and leaves NULL), arrays of the same size are
 * filled in place, generic data objects of the same shape and types are
 * filled in place and otherwise re-created (a borrowed buffer of another
 * shape is refused). The decoder never reads past the bytes it is given
 * (a limit, or the rest of the file) and checks every count against the bytes
 * left before it allocates.
 *
 * Encoders and decoders return the number of bytes written or consumed, or
 * -1 with a report; an encoding longer than INT32_MAX bytes is refused. */

/* Encodes object: with fd, to the file at its current position; else, when
 * base is not NULL, into the memory at base (which must hold kmif_ObjectSize
 * bytes; header positions are the low 32 bits of the addresses); with
 * neither, only counts. When the calling thread's immediate-flush flag is
 * set, every write is flushed and the file is flushed at the end. */
KRASTER_API int32_t kmif_ConvertToMIF(Kfio_Fd *fd, const void *object, const Kmif_Design *design,
                                      void *base, Kerr_ErrorReport **err);
/* As kmif_ConvertToMIF, writing at most capacity bytes (a negative capacity
 * means no limit): an object whose encoding is longer fails before any byte
 * past the capacity is written. With a buffer, header positions are position
 * plus the offset of the byte in the buffer, so that the buffer, written at
 * file offset position, equals an encoding made directly into the file. */
KRASTER_API int32_t kmif_ConvertToMIFEx(Kfio_Fd *fd, const void *object, const Kmif_Design *design,
                                        void *buffer, int64_t capacity, int64_t position,
                                        Kerr_ErrorReport **err);
/* Length of the encoding of object. */
KRASTER_API int32_t kmif_ObjectSize(const void *object, const Kmif_Design *design,
                                    Kerr_ErrorReport **err);

/* Decodes into *objectPP (allocated as kmif_ObjectAllocate does, without
 * changing the design, when it is NULL): from the memory at source when it
 * is not NULL (the caller vouches for the bytes), else from fd at its current
 * position (at most the rest of the file). Returns the bytes consumed. */
KRASTER_API int32_t kmif_ConvertToHost(Kfio_Fd *fd, const void *source, const Kmif_Design *design,
                                       void **objectPP, Kerr_ErrorReport **err);
/* As kmif_ConvertToHost from fd when it is not NULL, else from the memory at
 * *cursor, which is advanced past the bytes consumed. */
KRASTER_API int32_t kmif_ConvertToHostX(Kfio_Fd *fd, const unsigned char **cursor,
                                        const Kmif_Design *design, void **objectPP,
                                        Kerr_ErrorReport **err);
/* As kmif_ConvertToHost, reading at most limit bytes (from source when it is
 * not NULL, else from fd). */
KRASTER_API int32_t kmif_ConvertToHostEx(Kfio_Fd *fd, const void *source, int64_t limit,
                                         const Kmif_Design *design, void **objectPP,
                                         Kerr_ErrorReport **err);

/* Zero-filled memory for one object. The design's host size is rounded up to
 * a multiple of 8 and stored back into the design. A design of size 0 or less
 * gives NULL without a report. */
KRASTER_API void *kmif_ObjectAllocate(Kmif_Design *design, Kerr_ErrorReport **err);
KRASTER_API void *kmif_NewObject(Kmif_Design *design, Kerr_ErrorReport **err);
/* Deep copy of source into *destination (allocated when NULL; otherwise its
 * pointed-to data are freed first): arrays, nested objects and generic data
 * objects are duplicated. On failure nothing of the copy stays: an object
 * allocated here is freed (*destination NULL again), a given one is left
 * with its items freed. Returns 0 or -1. */
KRASTER_API int kmif_ObjectCopy(const void *source, void **destination, const Kmif_Design *design,
                                Kerr_ErrorReport **err);
/* Deep copy of the value of the item named itemName (exact name) into
 * destination, which is first cleared over the item's host size. Returns
 * destination, or NULL: without a report when no item has that name. */
KRASTER_API void *kmif_ObjectItemValueGet(const void *object, const Kmif_Design *design,
                                          const char *itemName, void *destination,
                                          Kerr_ErrorReport **err);
/* Frees what the item currently points to, then deep-copies the value at
 * source (the item's host size) into the object. Returns object, or NULL:
 * without a report when no item has that name. */
KRASTER_API void *kmif_ObjectItemValueSet(void *object, const Kmif_Design *design,
                                          const char *itemName, const void *source,
                                          Kerr_ErrorReport **err);
/* Frees everything the items of *objectPP point to (arrays, the pointed-to
 * data of nested objects, data of generic data objects) and leaves those
 * pointers NULL, counts 0 and generic data objects empty; the object itself
 * stays. Returns 0 or -1. */
KRASTER_API int kmif_ObjectItemsFree(void **objectPP, const Kmif_Design *design,
                                     Kerr_ErrorReport **err);
/* kmif_ObjectItemsFree, then frees the object and stores NULL. A NULL object
 * is accepted. Returns 0 or -1. */
KRASTER_API int kmif_ObjectFree(void **objectPP, const Kmif_Design *design, Kerr_ErrorReport **err);
KRASTER_API int kmif_FreeObject(void **objectPP, const Kmif_Design *design, Kerr_ErrorReport **err);

/* The calling thread's immediate-flush flag (see kmif_ConvertToMIF): Enable
 * sets it, Disable clears it. Return 0, or -1 with a report. */
KRASTER_API int kmif_StreamImmediateFlushEnable(Kerr_ErrorReport **err);
KRASTER_API int kmif_StreamImmediateFlushDisable(Kerr_ErrorReport **err);

/* Stores a heap copy of string and its length including the NUL; NULL or ""
 * gives count 0 and a NULL pointer. What kstring held before is not freed.
 * Returns 0, or -1 with a report. */
KRASTER_API int kmif_KmifStringFromString(Kmif_String *kstring, const char *string,
                                          Kerr_ErrorReport **err);
/* A heap copy of the first count characters (an empty heap string when the
 * count or the pointer is 0); NULL only when memory runs out. */
KRASTER_API char *kmif_KmifStringToString(const Kmif_String *kstring, Kerr_ErrorReport **err);
/* Deep copy (what destination held before is not freed). Returns 0 or -1. */
KRASTER_API int kmif_KmifStringFromKmifString(Kmif_String *destination, const Kmif_String *source,
                                              Kerr_ErrorReport **err);

/* Self-contained form of an object: its encoding (*data, a heap buffer), the
 * dictionary string holding its design and the designs it uses
 * (*dictionaryString) and the design's name (*designName), all freed with
 * kmsc_HeapFree. Returns the size of *data, or -1 with a report (outputs
 * NULL). */
KRASTER_API int32_t kmif_MIFableObjectConvertToMIF(const void *object, const Kmif_Design *design,
                                                   unsigned char **data, char **dictionaryString,
                                                   char **designName, Kerr_ErrorReport **err);
/* The inverse: *design receives a copy of the named design (free it with
 * kmif_DesignDestroy), *object a new object decoded from data (free it with
 * kmif_ObjectFree and that design). Returns the bytes consumed, or -1 with a
 * report (outputs NULL). */
KRASTER_API int32_t kmif_MIFableObjectConvertFromMIF(const unsigned char *data,
                                                     const char *dictionaryString,
                                                     const char *designName, void **object,
                                                     Kmif_Design **design, Kerr_ErrorReport **err);
/* As kmif_MIFableObjectConvertFromMIF, reading at most size bytes of data
 * (a negative size: no limit). */
KRASTER_API int32_t kmif_MIFableObjectConvertFromMIFEx(const unsigned char *data, int64_t size,
                                                       const char *dictionaryString,
                                                       const char *designName, void **object,
                                                       Kmif_Design **design,
                                                       Kerr_ErrorReport **err);

KRASTER_END_DECLS

#endif
