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
 * decoded so far are kept. */
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

KRASTER_END_DECLS

#endif
