/* Generic data: pixel types and the BaseData array record. */
#ifndef KRASTER_KGDA_H
#define KRASTER_KGDA_H

#include "kdefs.h"
#include "kerr.h"

KRASTER_BEGIN_DECLS

/* Pixel types; code 13 ("string") has no enumeration name of its own and is
 * used by BaseData tables only. */
typedef enum Kgda_PixelType {
    KGDA_TYPE_U1 = 0,
    KGDA_TYPE_U2 = 1,
    KGDA_TYPE_U4 = 2,
    KGDA_TYPE_U8 = 3,
    KGDA_TYPE_S8 = 4,
    KGDA_TYPE_U16 = 5,
    KGDA_TYPE_S16 = 6,
    KGDA_TYPE_U32 = 7,
    KGDA_TYPE_S32 = 8,
    KGDA_TYPE_F32 = 9,
    KGDA_TYPE_F64 = 10,
    KGDA_TYPE_C64 = 11,
    KGDA_TYPE_C128 = 12
} Kgda_PixelType;

#define KGDA_STRING_TYPE_CODE 13
#define KGDA_PIXEL_TYPE_COUNT 14

/* Per-type tables, indexed by pixel type code (0 to 13). */
/* Names "u1" ... "c128", "string", followed by a NULL entry. */
KRASTER_API const char *const *kmsc_AddressOf_kgda_PixelTypeName(void);
/* Bits per pixel: 1, 2, 4, 8, 8, 16, 16, 32, 32, 32, 64, 64, 128, and the
 * width of a pointer for "string". */
KRASTER_API const int32_t *kmsc_AddressOf_kgda_NumBitsPerPixel(void);
/* Bytes per element in memory: 1, 1, 1, 1, 1, 2, 2, 4, 4, 4, 8, 8, 16, and
 * sizeof(char *) for "string" (sub-byte types take one byte each). */
KRASTER_API const int32_t *kmsc_AddressOf_kgda_NumBytesPerPixel(void);
/* Smallest and largest value of the integer types 0 to 8, as doubles; 0 for
 * the real, complex and string types. */
KRASTER_API const double *kmsc_AddressOf_kgda_IntegerMinValue(void);
KRASTER_API const double *kmsc_AddressOf_kgda_IntegerMaxValue(void);

/* Object types of a BaseData array. */
typedef enum Kgda_ObjectType {
    KGDA_SCALAR_OBJECT = 0,
    KGDA_TABLE_OBJECT = 1,
    KGDA_MATRIX_OBJECT = 2,
    KGDA_RASTER_OBJECT = 3
} Kgda_ObjectType;

/* The generic array: a scalar, table, matrix (stored column by column) or
 * raster (row by row) of one pixel type, owning its buffer or borrowing it. */
typedef struct Kgda_BaseData {
    int32_t numrows;
    int32_t numcolumns;
    int32_t datatype;           /* Kgda_PixelType or 13 for strings */
    int32_t objecttype;         /* Kgda_ObjectType */
    unsigned char *data;        /* start of the element buffer */
    unsigned char *windowStart; /* address of the first element */
    int32_t pitch;              /* bytes from one line to the next */
    int32_t derivedFlag;        /* 0 owns the buffer, 1 borrows it */
    int32_t numelements;        /* numrows x numcolumns */
    int32_t numbytes;           /* bytes per element */
    void *tag;                  /* copied along by copy and derive */
} Kgda_BaseData;

/* ---- BaseData arrays ------------------------------------------------------
 *
 * Addressing. A line is a column for a matrix and a row for every other
 * object type; pitch is the byte distance between lines (bytes per element x
 * numrows for a matrix, x numcolumns otherwise). Element (row r, column c) is
 * at windowStart + c x pitch + r x numbytes in a matrix and at windowStart +
 * r x pitch + c x numbytes in a scalar, table or raster.
 *
 * Sizes. numelements and pitch are 32-bit: an array whose element count or
 * line length in bytes does not fit is refused with a report. A raster's
 * buffer is allocated with its column count rounded up to a multiple of 4
 * (the pitch stays bytes x columns). Borrowed buffers must be aligned for
 * their element type.
 *
 * Every operation takes the caller's report-pointer address last. Operations
 * returning an int give 0 on success and -1 on failure; those returning a
 * pointer give NULL on failure. */

/* Creates an array of numrows x numcolumns elements (either may be 0, which
 * allocates nothing). With a buffer the array borrows it (derivedFlag 1);
 * otherwise a zero-filled buffer is allocated and owned. */
KRASTER_API Kgda_BaseData *kgda_BaseDataCreate(int32_t numrows, int32_t numcolumns,
                                               int32_t datatype, int32_t objecttype, void *buffer,
                                               Kerr_ErrorReport **err);

/* Re-shapes a derived array in place: shape, types, pitch, bytes per element,
 * and the buffer when one is given (else the old one stays). A NULL array is
 * created with kgda_BaseDataCreate. Refuses rows or columns below 1 and
 * owning arrays. Returns the array. */
KRASTER_API Kgda_BaseData *kgda_BaseDataReCreate(Kgda_BaseData *baseData, int32_t numrows,
                                                 int32_t numcolumns, int32_t datatype,
                                                 int32_t objecttype, void *buffer,
                                                 Kerr_ErrorReport **err);

/* Makes target (a new record when NULL) a window of numrows x numcolumns
 * elements into source starting at (rowOffset, columnOffset): same types,
 * pitch and tag, derivedFlag 1. The window must lie inside the source. A
 * target that owns a buffer is refused. The two names are one operation. */
KRASTER_API Kgda_BaseData *kgda_BaseDataReDerive(const Kgda_BaseData *source, Kgda_BaseData *target,
                                                 int32_t rowOffset, int32_t columnOffset,
                                                 int32_t numrows, int32_t numcolumns,
                                                 Kerr_ErrorReport **err);
KRASTER_API Kgda_BaseData *kgda_BaseDataDerived(const Kgda_BaseData *source, Kgda_BaseData *target,
                                                int32_t rowOffset, int32_t columnOffset,
                                                int32_t numrows, int32_t numcolumns,
                                                Kerr_ErrorReport **err);

/* Copies source into destination (created with source's shape and types when
 * NULL), converting elements through the pixel conversion table. Object types
 * must agree. The overlapping part is copied line by line; table objects copy
 * the first min(numelements) elements in row order. String elements are
 * replaced by copies (the old strings are freed). The tag is copied. Nothing
 * changes when memory runs out. Returns destination. */
KRASTER_API Kgda_BaseData *kgda_BaseDataCopy(const Kgda_BaseData *source,
                                             Kgda_BaseData *destination, Kerr_ErrorReport **err);
/* As kgda_BaseDataCopy; *changed (if not NULL) is set to 1 when the first
 * byte of some copied line differed between source and destination before
 * the copy, else 0. */
KRASTER_API Kgda_BaseData *kgda_BaseDataCopyExt(const Kgda_BaseData *source,
                                                Kgda_BaseData *destination, int32_t *changed,
                                                Kerr_ErrorReport **err);

/* Changes the shape to numrows x numcolumns (both at least 1), keeping the
 * overlapping part (table and scalar objects keep their first elements in
 * row order); new elements are zero. An owning table, or an owning raster or
 * matrix whose line length stays, is resized in place; otherwise a new buffer
 * is made and owned (a derived array then owns its new buffer). Strings
 * outside the new shape are freed. */
KRASTER_API int kgda_BaseDataReallocate(Kgda_BaseData *baseData, int32_t numrows,
                                        int32_t numcolumns, Kerr_ErrorReport **err);

/* Modes of kgda_BaseDataSetBoth. */
#define KGDA_SET_ALL 0      /* every element, line by line in storage order */
#define KGDA_SET_DIAGONAL 1 /* the diagonal of a square array */
#define KGDA_SET_ROW 2      /* row index: numcolumns elements */
#define KGDA_SET_COLUMN 3   /* column index: numrows elements */

/* Writes elements of the array's own type from values: step 1 takes
 * consecutive values, step 0 repeats the first (any step >= 0 is the source
 * stride in elements). String elements receive heap copies of the source
 * strings and their old strings are freed. */
KRASTER_API int kgda_BaseDataSetBoth(Kgda_BaseData *baseData, const void *values, int32_t mode,
                                     int32_t index, int32_t step, Kerr_ErrorReport **err);
/* kgda_BaseDataSetBoth with step 1. */
KRASTER_API int kgda_BaseDataSet(Kgda_BaseData *baseData, const void *values, int32_t mode,
                                 int32_t index, Kerr_ErrorReport **err);
/* Converts value to the array's type and writes it with step 0 (not for
 * string arrays). */
KRASTER_API int kgda_BaseDataSetScalar(Kgda_BaseData *baseData, double value, int32_t mode,
                                       int32_t index, Kerr_ErrorReport **err);

/* Frees an owned buffer (and the strings of a string array); the record then
 * has no data. A derived array is left as it is. NULL is accepted. */
KRASTER_API void kgda_BaseDataDeleteContents(Kgda_BaseData *baseData, Kerr_ErrorReport **err);
/* kgda_BaseDataDeleteContents, then frees the record. NULL is accepted. */
KRASTER_API void kgda_BaseDataDelete(Kgda_BaseData *baseData, Kerr_ErrorReport **err);

/* Prints the header block and then the elements to the standard output, one
 * printed line per storage line (a matrix prints column by column), values
 * separated by one blank: integers as %d (u32 %u), reals as %g, complex
 * values as (%g, %g), strings as they are ("(null)" for NULL). */
KRASTER_API int kgda_BaseDataPrint(const Kgda_BaseData *baseData, Kerr_ErrorReport **err);

/* Clips lines x elementsPerLine elements starting at the window start, lines
 * one pitch apart, to [max(low, type minimum), min(high, type maximum)]
 * truncated to the element type. u1, u2, u4 and u8 use the bounds 0 and 255;
 * f32 and f64 the given bounds. Complex and string arrays are refused, and so
 * is a block reaching beyond the array. */
KRASTER_API int kgda_BaseDataClip(Kgda_BaseData *baseData, int32_t lines, int32_t elementsPerLine,
                                  double low, double high, Kerr_ErrorReport **err);
/* Minimum and maximum (as doubles; complex values by magnitude) of the block
 * of lines x elementsPerLine elements starting at the window start. NaN
 * elements are skipped (an all-NaN block gives +inf and -inf). String arrays,
 * empty blocks and blocks beyond the array are refused. */
KRASTER_API int kgda_BaseDataStats(const Kgda_BaseData *baseData, int32_t elementsPerLine,
                                   int32_t lines, double *minimum, double *maximum,
                                   Kerr_ErrorReport **err);

/* ---- Matrices (f32, f64, c64, c128; square n x n; any object type,
 * addressed by row and column as above) ---------------------------------- */

/* LU decomposition with column pivoting: A P = L U, where column c of A P is
 * column index[c] of A. At step k the pivot is the first column j >= k with
 * the largest |U[k][j]|; a zero pivot stops with "Singular matrix". lower and
 * upper are caller-made n x n arrays of the matrix's type; index holds n
 * entries. */
KRASTER_API int kgda_MatrixLUDecomposition(const Kgda_BaseData *matrix, Kgda_BaseData *lower,
                                           Kgda_BaseData *upper, int32_t *index,
                                           Kerr_ErrorReport **err);
/* Solves A X = B (A n x n, B n x m, same type) for X = A^-1 B through the
 * decomposition. X is created as an n x m matrix when NULL, else it must
 * have that shape and type (it may be B itself). Returns X. */
KRASTER_API Kgda_BaseData *kgda_MatrixDivide(const Kgda_BaseData *a, const Kgda_BaseData *b,
                                             Kgda_BaseData *x, Kerr_ErrorReport **err);
/* A^-1 (solving against the identity) into inverse, created when NULL.
 * Returns inverse. */
KRASTER_API Kgda_BaseData *kgda_MatrixInvert(const Kgda_BaseData *a, Kgda_BaseData *inverse,
                                             Kerr_ErrorReport **err);

/* ---- Stacks, stack arrays, windows, argument lists ----------------------- */

/* Layers of equal shape. With derivedFlag 1 the layers are borrowed and not
 * deleted with the stack. */
typedef struct Kgda_BaseDataStack {
    int32_t numberOfLayers;
    int32_t derivedFlag;
    Kgda_BaseData **layers;
    int32_t spare; /* 0 */
} Kgda_BaseDataStack;

typedef struct Kgda_BaseDataStackArray {
    int32_t numberOfStacks;
    int32_t derivedFlag; /* 1: the stacks are borrowed */
    Kgda_BaseDataStack **stacks;
} Kgda_BaseDataStackArray;

/* Four values in the order given to kgda_WindowCreate. */
typedef struct Kgda_Window {
    int32_t values[4];
} Kgda_Window;

/* Arguments of the operator tables; neither the stacks nor the mask are
 * owned by the list. The optional mask (NULL: none) is a one-byte array
 * (u1 ... s8) of the destination layers' shape: only elements whose mask
 * byte is nonzero are written. */
typedef struct Kgda_ArgumentList {
    int32_t count;
    Kgda_BaseDataStack **stacks;
    Kgda_BaseData *mask;
} Kgda_ArgumentList;

/* A stack of independently allocated layers (all counts at least 1). */
KRASTER_API Kgda_BaseDataStack *kgda_BaseDataStackCreate(int32_t numberOfLayers, int32_t numrows,
                                                         int32_t numcolumns, int32_t datatype,
                                                         int32_t objecttype,
                                                         Kerr_ErrorReport **err);
/* All layers in one buffer (the caller's, or one allocated here and owned by
 * the first layer), each layer's share rounded up to a multiple of 8 bytes
 * (raster columns rounded up to 4). The buffer must hold
 * kgda_BaseDataStackDataSize bytes. */
KRASTER_API Kgda_BaseDataStack *kgda_BaseDataStackCreateContiguous(
    int32_t numberOfLayers, int32_t numrows, int32_t numcolumns, int32_t datatype,
    int32_t objecttype, void *buffer, Kerr_ErrorReport **err);
/* 1 when the stack has layers of one type, object type, pitch and shape
 * whose data addresses are equally and positively spaced (or a single
 * layer); 0 otherwise. */
KRASTER_API int kgda_BaseDataStackIsContiguous(const Kgda_BaseDataStack *stack,
                                               Kerr_ErrorReport **err);
/* Bytes of a contiguous stack: layers x (bytes per element x rows x columns,
 * raster columns rounded up to 4, rounded up to a multiple of 8); 0 with a
 * report for bad arguments. */
KRASTER_API int64_t kgda_BaseDataStackDataSize(int32_t numberOfLayers, int32_t numrows,
                                               int32_t numcolumns, int32_t datatype,
                                               int32_t objecttype, Kerr_ErrorReport **err);
/* Elements per layer that fit numbytes bytes: (numbytes / layers rounded
 * down to a multiple of 8) / bytes per element; 0 with a report for bad
 * arguments. */
KRASTER_API int64_t kgda_BaseDataStackMaxElements(int64_t numbytes, int32_t numberOfLayers,
                                                  int32_t datatype, int32_t objecttype,
                                                  Kerr_ErrorReport **err);
/* A new stack of windows (kgda_BaseDataReDerive) into every layer. */
KRASTER_API Kgda_BaseDataStack *kgda_BaseDataStackDerived(const Kgda_BaseDataStack *source,
                                                          int32_t rowOffset, int32_t columnOffset,
                                                          int32_t numrows, int32_t numcolumns,
                                                          Kerr_ErrorReport **err);
/* A stack of numberOfLayers NULL layer pointers for the caller to fill:
 * owned layers (derivedFlag 0), or borrowed ones (derivedFlag 1). */
KRASTER_API Kgda_BaseDataStack *kgda_BaseDataStackPtrCreate(int32_t numberOfLayers,
                                                            Kerr_ErrorReport **err);
KRASTER_API Kgda_BaseDataStack *kgda_BaseDataStackDerivedFromDataLayer(int32_t numberOfLayers,
                                                                       Kerr_ErrorReport **err);
/* Copies layer by layer (kgda_BaseDataCopy); destination is created when
 * NULL and must otherwise have at least as many layers as the source. When
 * memory runs out nothing changes. Returns destination. */
KRASTER_API Kgda_BaseDataStack *kgda_BaseDataStackCopy(const Kgda_BaseDataStack *source,
                                                       Kgda_BaseDataStack *destination,
                                                       Kerr_ErrorReport **err);
/* Deletes the owned layers (not those of a derived stack), then the stack. */
KRASTER_API void kgda_BaseDataStackDelete(Kgda_BaseDataStack *stack, Kerr_ErrorReport **err);
KRASTER_API int kgda_BaseDataStackPrint(const Kgda_BaseDataStack *stack, Kerr_ErrorReport **err);
KRASTER_API int kgda_BaseDataStackSetScalar(Kgda_BaseDataStack *stack, double value, int32_t mode,
                                            int32_t index, Kerr_ErrorReport **err);
/* Sets every element of every layer to zero (NULL for strings, whose old
 * strings are freed). */
KRASTER_API int kgda_BaseDataStackSetZero(Kgda_BaseDataStack *stack, Kerr_ErrorReport **err);

/* numberOfStacks stacks made by kgda_BaseDataStackCreate. */
KRASTER_API Kgda_BaseDataStackArray *kgda_BaseDataStackArrayCreate(
    int32_t numberOfStacks, int32_t numberOfLayers, int32_t numrows, int32_t numcolumns,
    int32_t datatype, int32_t objecttype, Kerr_ErrorReport **err);
KRASTER_API void kgda_BaseDataStackArrayDelete(Kgda_BaseDataStackArray *stackArray,
                                               Kerr_ErrorReport **err);
/* Stack by stack; a destination with fewer stacks is refused. */
KRASTER_API Kgda_BaseDataStackArray *kgda_BaseDataStackArrayCopy(
    const Kgda_BaseDataStackArray *source, Kgda_BaseDataStackArray *destination,
    Kerr_ErrorReport **err);
KRASTER_API Kgda_BaseDataStackArray *kgda_BaseDataStackArrayDerived(
    const Kgda_BaseDataStackArray *source, int32_t rowOffset, int32_t columnOffset, int32_t numrows,
    int32_t numcolumns, Kerr_ErrorReport **err);
KRASTER_API int kgda_BaseDataStackArraySetScalar(Kgda_BaseDataStackArray *stackArray, double value,
                                                 int32_t mode, int32_t index,
                                                 Kerr_ErrorReport **err);

KRASTER_API Kgda_Window *kgda_WindowCreate(int32_t value0, int32_t value1, int32_t value2,
                                           int32_t value3, Kerr_ErrorReport **err);
/* Copies into destination (created when NULL); returns destination. */
KRASTER_API Kgda_Window *kgda_WindowCopy(const Kgda_Window *source, Kgda_Window *destination,
                                         Kerr_ErrorReport **err);
KRASTER_API void kgda_WindowDelete(Kgda_Window *window, Kerr_ErrorReport **err);

/* An argument list of the stacks of a NULL-terminated array (which may be
 * empty); the list refers to the stacks without owning them. */
KRASTER_API Kgda_ArgumentList *kgda_ArgumentListCreate(Kgda_BaseDataStack *const *stacks,
                                                       Kerr_ErrorReport **err);
/* Frees the list, not the stacks. */
KRASTER_API void kgda_ArgumentListDelete(Kgda_ArgumentList *list, Kerr_ErrorReport **err);

/* ---- Text format ------------------------------------------------------------
 *
 * A stack of layers of equal shape is one text file. For every object type
 * the file holds one text line per row; within a line, for each column in
 * order, the values of all layers in layer order, every value separated from
 * the next by one blank; the line ends with "\n". Element (r, c) is taken
 * from its real address, so a matrix and a raster of the same content give
 * the same text. Values: integer types "%d" (u32 "%u"), f32 and f64
 * "%.16g", c64 and c128 "(%.16g, %.16g)". String values are written one per
 * line, in the same order (row, column, layer); a NULL string is written as
 * an empty line, and a string holding a line feed or carriage return, or
 * longer than 2048 characters, cannot be written.
 *
 * Reading converts each value with "%hu" (u1, u2, u4, u8, u16), "%hd" (s16),
 * "%d" (s8, s32), "%u" (u32), "%g" (f32), "%lg" (f64), "(%g, %g)" (c64) and
 * "(%lg, %lg)" (c128), white space before each value skipped; values above
 * 1, 3, 15, 255 are clamped for u1, u2, u4, u8 and s8 values to -128..127.
 * A string value is a whole line (line feed and carriage returns removed) of
 * which the first 2048 characters are kept. */

KRASTER_API int kgda_BaseDataStackWriteAscii(const Kgda_BaseDataStack *stack, const char *fileName,
                                             Kerr_ErrorReport **err);
/* Reads every element of every layer of an existing stack (layers of equal
 * shape and type). */
KRASTER_API int kgda_BaseDataStackReadAscii(Kgda_BaseDataStack *stack, const char *fileName,
                                            Kerr_ErrorReport **err);
/* Creates a stack from a text file and reads it. numrows 0: the number of
 * line feeds in the file. Scalar and table objects have 1 column. Unless
 * both numcolumns and numberOfLayers are given (above 0), the values on the
 * first line are counted (one for strings): with only the layers given the
 * columns are values / layers, with only the columns the layers are values /
 * columns, with neither one layer of values columns; a remainder is refused
 * ("ASCII file column count mismatch"). */
KRASTER_API Kgda_BaseDataStack *kgda_CreateBaseDataStackFromAscii(
    int32_t objecttype, int32_t datatype, int32_t numrows, int32_t numcolumns,
    int32_t numberOfLayers, const char *fileName, Kerr_ErrorReport **err);

/* ---- Operators --------------------------------------------------------------
 *
 * Numbered element-wise, matrix and stack operators over BaseData stacks.
 * Operator k has a table of 4 rows (destination object type) x 14 entries
 * (data type); the entry used is chosen by the destination's object type and
 * by the data type of the first layer of the last argument (of the
 * destination when there are no arguments). u1, u2 and u4 share the u8
 * implementation; types an operator does not serve hold kgda_NoOperation.
 * A check table holds one validation function per operator and object type.
 *
 * Shared conventions. For each destination layer i, argument k contributes
 * its layer i, or its layer 0 when it has one layer. Matrix and table
 * destinations are walked by columns (lines of numrows elements), every
 * other object type by rows; each array is addressed with its own pitch, and
 * an argument of object type 0 (scalar) supplies its first element
 * everywhere. With a mask only elements under a nonzero mask byte are
 * written. Operators of several arguments fold: D = A0 op A1, then
 * D = D op Ak. The first failure stops the operator; elements written
 * before it keep their values. Reports name the operator ("kgda_MaoAdd").
 *
 * Element rules ("same" = the destination has the arguments' data type;
 * "f64" = the destination is f64, or c128 for complex arguments; "real" =
 * computed in double and stored with the pixel conversion rule: clamped,
 * rounded half away from zero, NaN giving the type's minimum; c = complex
 * types served, "-" = complex types refused):
 *   MaoAdd, MaoSub, MaoMul   same, c. u8 results are limited to 0..255, s8
 *                            results to -128..127; u16, s16, u32, s32 wrap to
 *                            the type's width; f32 and c64 are formed in
 *                            double and narrowed.
 *   MaoDiv                   same, c. Integers truncate toward zero (s8
 *                            -128 / -1 gives 127; s16, s32 wrap); a zero
 *                            divisor of any type (under a nonzero mask byte)
 *                            stops with "Divided by zero" from "KGDA_Div".
 *   MaoRem                   same, -. Remainder with the dividend's sign
 *                            (integers %, reals fmod); zero divisor as
 *                            MaoDiv, from "KGDA_Rem".
 *   MaoBitAnd/Or/Xor,
 *   SaoBitNeg                same, integers only (u1 ... u4 act on the byte).
 *   MaoAnd, MaoOr, SaoNot,
 *   SaoNonZero               same, c. 1 or 0 by nonzero-ness (complex: either
 *                            part nonzero).
 *   MaoEq, MaoNe             same, c. 1 or 0; NaN is unequal to everything.
 *   MaoGt, MaoGe, MaoLt,
 *   MaoLe                    same, -. 1 or 0; comparisons with NaN give 0.
 *   SaoEven, SaoOdd          same, -. 1 when the value is a whole even (odd)
 *                            number; reals that are not whole give 0.
 *   MaoMax, MaoMin           same, -. When the values are unordered (NaN)
 *                            the first argument is kept.
 *   MaoPow                   same, c. Integers: repeated product with the
 *                            MaoMul rule, x^0 = 1, negative exponents give 0
 *                            except for bases 1 and -1; reals in double.
 *   FuncSin ... FuncSqrt     f64 (c128 for complex, with the complex
 *                            function); no domain check: log 0 is -inf,
 *                            sqrt of a negative real is NaN.
 *   FuncGamma, FuncFact      f64, -. Gamma(x) and x! = Gamma(x + 1) (poles
 *                            give +-inf as the C library does).
 *   FuncCeil, FuncFloor,
 *   FuncRound, FuncTrunc     same, -. Integers unchanged; FuncRound rounds
 *                            half away from zero.
 *   FuncAbs                  same, c. Signed minima are limited (s8 -128
 *                            gives 127, s16 and s32 wrap); complex values
 *                            become (|z|, 0).
 *   SaoInv                   f64. 1 / x without a check for 0.
 *   SaoNeg                   same, c. u8 gives 0 for every nonzero value, s8
 *                            -128 gives 127; u16, s16, u32, s32 wrap.
 *   SaoInc, SaoDec           same, c. x + 1, x - 1 with the MaoAdd/MaoSub
 *                            rules (complex: real part).
 *   SaoSign                  same, -. -1, 0 or 1; NaN gives 0.
 *   SaoFill                  same, c. Every element becomes the argument's
 *                            first element.
 *   SaoCopy, SaoConj         same, c. Copy; complex conjugate (other types
 *                            copy).
 *   SaoReal, SaoImag,
 *   SaoAngle                 destination f64 for every argument type: real
 *                            part, imaginary part (0 for non-complex),
 *                            atan2(imaginary, real).
 *   SaoWhole                 same, c. 1 when the value is a whole number
 *                            (complex: imaginary part 0 as well).
 *   SaoStep                  same, -. 1 for x >= 0, else 0 (NaN gives 0).
 *   SaoRect, SaoTrian,
 *   SaoSinc                  same, real, -. rect: 1 for |x| < 0.5, 0.5 at
 *                            |x| = 0.5, else 0; trian: max(0, 1 - |x|);
 *                            sinc: sin(pi x) / (pi x), 1 at 0.
 *   MaoCircle, MaoSquare,
 *   MaoDist                  same, real, -. With r = sqrt(x^2 + y^2):
 *                            circle 1 for r < 1, 0.5 at r = 1, else 0;
 *                            square rect(x) rect(y); dist r.
 *   ConvertToXX              destination XX; the pixel conversion table.
 *   ConvertRoundToXX         destination XX; the value (a complex one's
 *                            magnitude) rounded to the nearest whole number,
 *                            ties to even, then saturated to the range.
 *
 * Stack functions (Gpf) combine a list of values at each element position:
 * every layer of every argument, in argument order and then layer order. The
 * arguments may mix the integer and real types (not complex); each value is
 * taken as a double and the result is stored into the destination's type
 * with the pixel conversion rule. The destination has one layer, except for
 * GpfRgbToIhs and GpfIhsToRgb (three) and GpfFillArray (one per value).
 * For a list v0 ... vm-1:
 *   GpfMean, GpfSdevi        mean; population standard deviation.
 *   GpfDiversity             number of distinct values.
 *   GpfDensity               number of values equal to v0 (v0 included).
 *   GpfMajority, GpfMinority the most (least) frequent value; ties go to the
 *                            value that occurs first in the list.
 *   GpfPosition              1-based index of the first nonzero value, 0 if
 *                            none.
 *   GpfRank                  number of the values v1 ... that are below v0.
 *   GpfIndex                 1-based index k of the first vk (k >= 1) equal
 *                            to v0, 0 if none.
 *   GpfPick                  v(k) for k = v0 truncated (1 <= k < m), else 0.
 *   GpfCondition             pairs (test, value): the value of the first
 *                            pair whose test is nonzero; an odd last value
 *                            is the otherwise-value; else 0.
 *   GpfIfOr                  (test, a, b): a when test is nonzero, else b.
 *   GpfFillArray             destination layer j receives value array j
 *                            (converted to the destination's type).
 *   GpfRgbToIhs, GpfInten,
 *   GpfHue, GpfSatur         from (R, G, B): I = (R + G + B) / 3, S = 1 -
 *                            min(R, G, B) / I (0 when I is 0), H in degrees
 *                            [0, 360) from the angle of the colour about the
 *                            grey axis (0 for greys); layers I, H, S.
 *   GpfIhsToRgb, GpfRed,
 *   GpfGreen, GpfBlue        the inverse, from (I, H, S), H taken modulo
 *                            360; layers R, G, B.
 *   GpfHSVtoRed/Green/Blue   from (H in degrees, S in [0, 1], V): the hexcone
 *                            model, components in the units of V.
 *   GpfCYMKtoRed/Green/Blue  from (C, Y, M, K) as fractions of full ink:
 *                            R = (1 - C)(1 - K), G = (1 - M)(1 - K),
 *                            B = (1 - Y)(1 - K).
 *
 * Matrices (any object type, addressed by row and column; f32, f64, c64,
 * c128; layer broadcasting as above):
 *   MaoMatrixMul             D = A0 A1 ... (inner sizes must agree), summed
 *                            in double precision.
 *   MaoMatrixDiv             D = A0 A1^-1 (fold: D A2^-1 ...), square
 *                            divisors, through kgda_MatrixDivide.
 *   SaoMatrixInv             D = A0^-1 through kgda_MatrixInvert.
 *   SaoEigenVector,
 *   SaoEigenValue            symmetric f32 or f64 matrices (Jacobi
 *                            rotations): eigenvalues in descending order as
 *                            an n x 1 or 1 x n array; eigenvectors as the
 *                            columns of an n x n array in the same order,
 *                            unit length, the largest component positive.
 *   MaoMatrixTrRaster        A0 an m x n matrix, A1 a stack of n layers
 *                            (integer or real): destination layer i = sum
 *                            over j of A0[i][j] x layer j, a real result as
 *                            for the stack functions; the destination has m
 *                            layers.
 * Look-up and bins:
 *   SaoLUTtransformation     (A0 values, A1 table): D = A1[A0]; the table is
 *                            one row or one column of the destination's
 *                            type; a value that is not a whole number in
 *                            0 ... entries-1 fails with "Data value out of
 *                            the range of LUT".
 *   SaoConvertToBinValue     (A0 bins, integer or real): D (f64) = the lower
 *                            value of each bin of the bin function
 *                            (Kdsc_BinFunction of kdsc.h) that each layer of
 *                            A0 carries in its tag; a bin that is not a
 *                            whole number in 0 ... binCount-1 fails with
 *                            "kdsc_BinFunctionApplyInverseToValues failed". */

/* The operators in number order. */
// clang-format off
#define KGDA_OPERATORS(X) \
    X(MaoAdd) \
    X(MaoSub) \
    X(MaoMul) \
    X(MaoDiv) \
    X(MaoRem) \
    X(MaoBitAnd) \
    X(MaoBitOr) \
    X(MaoBitXor) \
    X(SaoBitNeg) \
    X(MaoAnd) \
    X(MaoOr) \
    X(MaoEq) \
    X(MaoNe) \
    X(MaoGt) \
    X(MaoGe) \
    X(MaoLt) \
    X(MaoLe) \
    X(SaoNot) \
    X(SaoEven) \
    X(SaoOdd) \
    X(MaoMax) \
    X(MaoMin) \
    X(MaoPow) \
    X(FuncSin) \
    X(FuncCos) \
    X(FuncTan) \
    X(FuncSinh) \
    X(FuncCosh) \
    X(FuncTanh) \
    X(FuncAsin) \
    X(FuncAcos) \
    X(FuncAtan) \
    X(FuncAsinh) \
    X(FuncAcosh) \
    X(FuncLog) \
    X(FuncExp) \
    X(FuncLog10) \
    X(FuncSqrt) \
    X(FuncCeil) \
    X(FuncFloor) \
    X(FuncRound) \
    X(FuncTrunc) \
    X(FuncFact) \
    X(FuncGamma) \
    X(FuncAbs) \
    X(SaoInv) \
    X(SaoNeg) \
    X(SaoInc) \
    X(SaoDec) \
    X(SaoSign) \
    X(SaoFill) \
    X(SaoCopy) \
    X(ConvertToU8) \
    X(ConvertToS8) \
    X(ConvertToU16) \
    X(ConvertToS16) \
    X(ConvertToU32) \
    X(ConvertToS32) \
    X(ConvertToF32) \
    X(ConvertToF64) \
    X(ConvertToC64) \
    X(ConvertToC128) \
    X(ConvertRoundToU8) \
    X(ConvertRoundToS8) \
    X(ConvertRoundToU16) \
    X(ConvertRoundToS16) \
    X(ConvertRoundToU32) \
    X(ConvertRoundToS32) \
    X(SaoReal) \
    X(SaoImag) \
    X(SaoConj) \
    X(SaoAngle) \
    X(SaoNonZero) \
    X(SaoWhole) \
    X(SaoStep) \
    X(SaoRect) \
    X(SaoTrian) \
    X(SaoSinc) \
    X(MaoCircle) \
    X(MaoSquare) \
    X(MaoDist) \
    X(GpfInten) \
    X(GpfHue) \
    X(GpfSatur) \
    X(GpfRed) \
    X(GpfGreen) \
    X(GpfBlue) \
    X(GpfMean) \
    X(GpfSdevi) \
    X(GpfDiversity) \
    X(GpfDensity) \
    X(GpfMajority) \
    X(GpfMinority) \
    X(GpfPosition) \
    X(GpfRank) \
    X(GpfIndex) \
    X(GpfPick) \
    X(GpfCondition) \
    X(GpfIfOr) \
    X(GpfFillArray) \
    X(GpfRgbToIhs) \
    X(GpfIhsToRgb) \
    X(MaoMatrixMul) \
    X(MaoMatrixDiv) \
    X(SaoMatrixInv) \
    X(SaoConvertToBinValue) \
    X(SaoLUTtransformation) \
    X(SaoEigenVector) \
    X(SaoEigenValue) \
    X(MaoMatrixTrRaster) \
    X(GpfHSVtoRed) \
    X(GpfHSVtoGreen) \
    X(GpfHSVtoBlue) \
    X(GpfCYMKtoRed) \
    X(GpfCYMKtoGreen) \
    X(GpfCYMKtoBlue)
// clang-format on

#define KGDA_OPERATOR_NUMBER_(name) KGDA_OP_##name,
/* Operator numbers: KGDA_OP_MaoAdd = 0 ... KGDA_OP_GpfCYMKtoBlue = 115. */
typedef enum Kgda_OperatorNumber {
    KGDA_OPERATORS(KGDA_OPERATOR_NUMBER_) KGDA_OPERATOR_COUNT
} Kgda_OperatorNumber;

#define KGDA_OBJECT_TYPE_COUNT 4

/* One implementation: writes the destination stack from the arguments;
 * 0 on success, -1 with a report. */
typedef int (*Kgda_OperatorFunc)(Kgda_BaseDataStack *destination,
                                 const Kgda_ArgumentList *arguments, Kerr_ErrorReport **err);
/* One table entry: the implementation and two words that are 0. */
typedef struct Kgda_OperatorEntry {
    Kgda_OperatorFunc function;
    intptr_t reserved[2];
} Kgda_OperatorEntry;
/* An operator's table: [object type][data type]. */
typedef struct Kgda_OperatorTable {
    Kgda_OperatorEntry entries[KGDA_OBJECT_TYPE_COUNT][KGDA_PIXEL_TYPE_COUNT];
} Kgda_OperatorTable;
/* Validates the arguments of one operator; 0 when they may be used. */
typedef int (*Kgda_CheckFunc)(const Kgda_BaseDataStack *destination,
                              const Kgda_ArgumentList *arguments, Kerr_ErrorReport **err);

/* The operator tables by number (KGDA_OPERATOR_COUNT entries), built from
 * the accessors below on first use, once per process. */
KRASTER_API const Kgda_OperatorTable *const *kmsc_AddressOf_kgda_BaseDataOP(void);
/* The check table: [operator number][object type]. */
KRASTER_API const Kgda_CheckFunc (
    *kmsc_AddressOf_kgda_CheckInitialCheck(void))[KGDA_OBJECT_TYPE_COUNT];

#define KGDA_OPERATOR_ACCESSOR_(name) \
    KRASTER_API const Kgda_OperatorTable *kmsc_AddressOf_kgda_##name(void);
/* One accessor per operator: kmsc_AddressOf_kgda_MaoAdd ... */
KGDA_OPERATORS(KGDA_OPERATOR_ACCESSOR_)

/* Runs operator op on single arrays: each is wrapped in a one-layer stack,
 * without a mask; the check runs first. 0 on success, -1 with a report. */
KRASTER_API int kgda_BaseDataOperation(int32_t op, Kgda_BaseData *destination,
                                       Kgda_BaseData *const *arguments, int32_t count,
                                       Kerr_ErrorReport **err);
/* The same on stacks, with the argument list's mask. */
KRASTER_API int kgda_BaseDataStackOperation(int32_t op, Kgda_BaseDataStack *destination,
                                            const Kgda_ArgumentList *arguments,
                                            Kerr_ErrorReport **err);
/* Calls the entry of a caller's table (same layout) chosen as above, without
 * a check. */
KRASTER_API int kgda_BaseDataStackFunction(const Kgda_OperatorTable *table,
                                           Kgda_BaseDataStack *destination,
                                           const Kgda_ArgumentList *arguments,
                                           Kerr_ErrorReport **err);
/* The entry of unserved types: fails with "no operation on this data". */
KRASTER_API int kgda_NoOperation(Kgda_BaseDataStack *destination,
                                 const Kgda_ArgumentList *arguments, Kerr_ErrorReport **err);
/* Check of the element-wise operators of two or more arguments (Mao). */
KRASTER_API int kgda_BinaryOpCheck(const Kgda_BaseDataStack *destination,
                                   const Kgda_ArgumentList *arguments, Kerr_ErrorReport **err);

KRASTER_END_DECLS

#endif
