/* The raster format plug-in contract: what a library of the plug-in class
 * "RasterFormats" exports so that KRaster can read and write images of its
 * formats. A plug-in is a shared object (*.so) found along
 * ORVEL_RASTER_FORMATS_PATH (directories separated by ";"), then
 * $MIRAVEN_HOME/usr/lib/$ARCHM/RasterFormats and
 * $MIRAVEN_HOME/bin/$ARCHM/RasterFormats when MIRAVEN_HOME is set, then
 * <directory of libkraster.so>/kraster/plugins/RasterFormats. Its name is the
 * file name without directory, extension and a leading "lib" (libfoo.so is
 * "foo").
 *
 * ENTRY POINTS. The plug-in exports plain C functions whose names are those
 * of KIMG_RF_ENTRY_POINTS below, with the signatures of the matching
 * Kimg_RF<Name>Func types (declare them with KIMG_RF_EXPORT, or build with
 * default visibility). Entries marked required must be present, else the
 * plug-in is ignored ("<Name> missing from %s:  DLL ignored"); an absent
 * optional entry means the service is not offered (the library falls back to
 * its generic file operations for FileCopy, FileRename, FileDestroy and
 * FileModTimeGet, and to the ".aux" support file for auxiliary objects).
 *
 * STATUS AND ERRNO. Every entry that does not return a handle returns a long
 * status: 0 or positive on success, negative on failure. Entries returning a
 * handle return NULL on failure. On failure an entry sets errno; the library
 * clears errno before each call and takes its value afterwards as the status
 * of the attempt, using the KIMG_RF_STATUS_* codes where they apply (they are
 * the platform's errno numbers). Entries that take a Kerr_ErrorReport ** may
 * in addition leave a report chain there (created with kerr_CreateErrorReport);
 * the library wraps it in its own report and owns it afterwards.
 *
 * LISTS FROM Instance* ENTRIES. Each returns a count and an array of count
 * entries through its out-parameters, in that order: (long *count, char
 * ***array) for strings, (long *count, long **array) for flags. These arrays
 * and strings belong to the plug-in and must stay valid and unchanged while
 * the plug-in is loaded (static tables are the normal choice); the library
 * copies what it keeps. A call that fails, or gives a count of 0 or less or a
 * NULL array, is "garbage": for the title, template, compression, layer-type,
 * pixel-type and data-order lists the plug-in is then rejected ("<Name>
 * returning garbage from %s:  DLL ignored"). Lists described as per title
 * must have exactly as many entries as the title list; otherwise they are
 * ignored.
 *
 * LISTS AND STRINGS FROM FILE AND LAYER ENTRIES. Strings and arrays that an
 * entry hands to the library through a char ** or char *** out-parameter
 * (layer names, dependent names, data order, encoded objects, dictionary
 * text) are allocated with the library's heap (kmsc_HeapMalloc, kstr_Duplicate)
 * and become the library's, which frees every string and then the array with
 * kmsc_HeapFree. Strings and arrays the library passes in stay the library's.
 *
 * TITLE INDEX. A plug-in serves one or more formats, each named by a title
 * ("MIRAVEN Image"); a title index is a position in its title list, 0 to
 * count - 1. FileTitleIdentifyAndOpen and FileTitleIdentify take the index in
 * and give it back out: on entry -1 means "tell me the format", an index
 * means "the caller expects (or, with mode "w+b", wants to create) this
 * format"; on return the index of the file's format, or -1 when the file is
 * not of any format of this plug-in (then no handle, status negative, and no
 * report: not recognising a file is not an error). An index returned at or
 * beyond the title count, or a handle returned with index -1, gets the
 * plug-in rejected for the rest of the process.
 *
 * MODES. "r" read only; "r+b" read and update an existing file; "w+b" create
 * a new file (the name does not exist yet). A NULL mode asks only for
 * identification: the entry must then return NULL (a handle returned there
 * is not used and is reported as leaking).
 *
 * TEMPLATES. One file-name wildcard template per title ("*.img"), matched
 * against the file's base name ("*" any run, "?" any one character, "[...]"
 * a set; letters compare ignoring case). A template written in angle
 * brackets ("<*.grd>") is a pseudo template: what is inside the brackets is
 * shown to users (file filters) but never matched against names.
 *
 * MAGIC. Per title, "" or lines (separated by "\n") in the notation of the
 * kmgc_ magic-number matcher: offset, type word ("byte", "short", "long",
 * "string", "date", "beshort", "belong", "bedate", "leshort", "lelong",
 * "ledate") and value; or "ASCII", "ASCII+0x00:", "ASCII-0x00:" for text
 * formats, followed by the allowed characters.
 *
 * HANDLES. File and layer handles are the plug-in's own pointers, opaque to
 * the library, passed back unchanged. The library shares one file handle per
 * file and mode among its callers and closes it once, after the last user.
 *
 * BLOCKS. Layers are stored in blocks of blockWidth x blockHeight pixels,
 * addressed by block row and block column from the top left (0, 0). A block
 * buffer holds blockWidth * blockHeight pixels of the layer's pixel type in
 * host form, row by row, one element per pixel as kpxm.h describes (u1, u2,
 * u4 one byte each); blocks at the right and bottom edges are full size and
 * their pixels outside the layer are ignored on write and filled with 0 on
 * read.
 *
 * ENCODED OBJECTS. Auxiliary objects (statistics, descriptor-table objects,
 * map information, projections, transforms) travel as a MIF object: its
 * encoded bytes, their count, the text of a dictionary holding its design,
 * and the design's name, always in that order (read: unsigned char **data,
 * long *dataSize, char **dictionary, char **typeName; write: const unsigned
 * char *data, long dataSize, const char *dictionary, const char *typeName).
 * A plug-in stores and returns them unchanged; it need not understand them.
 * A missing object is reported by a negative status with errno
 * KIMG_RF_STATUS_NO_SUCH_FILE.
 *
 * NODE PATHS. Objects and layers are named by node paths inside the file
 * (":Layer_1", ":Layer_1:Statistics"; kfnp.h). Layer names are node paths.
 *
 * TIMES are seconds since 1970 (int64_t).
 *
 * THREADS. Unless InstanceIsThreadsafe exists and returns non-zero, every
 * call into the plug-in is made inside the process-wide thread-unsafe section
 * (kthr_ThreadUnsafeCodeEnter(0)), so the plug-in sees one call at a time. */
#ifndef KRASTER_KIMGRF_H
#define KRASTER_KIMGRF_H

#include "kdefs.h"
#include "kerr.h"
#include "kgda.h"

KRASTER_BEGIN_DECLS

/* The plug-in class and its environment variable. */
#define KIMG_RF_CLASS_NAME "RasterFormats"
#define KIMG_RF_PATH_VARIABLE "ORVEL_RASTER_FORMATS_PATH"
/* The title of the native format and its extension; ".aux" support files
 * are files of this format. */
#define KIMG_RF_NATIVE_TITLE "MIRAVEN Image"
#define KIMG_RF_SUPPORT_EXTENSION ".aux"

/* Status codes of an identification or open attempt (errno after a call). */
#define KIMG_RF_STATUS_OK 0
#define KIMG_RF_STATUS_NO_SUCH_FILE 2       /* the file does not exist */
#define KIMG_RF_STATUS_PERMISSION_DENIED 13 /* no access, or directory not writable */
#define KIMG_RF_STATUS_FILE_EXISTS 17       /* "w+b" on an existing name */
#define KIMG_RF_STATUS_NOT_CREATABLE 19     /* the format cannot create files */
#define KIMG_RF_STATUS_UNRECOGNIZED 33      /* no plug-in recognises the file */
#define KIMG_RF_STATUS_MISMATCH 34          /* not of the format asked, or plug-in unusable */

/* Modes of FileTitleIdentifyAndOpen and FileOpen. */
#define KIMG_RF_MODE_READ "r"
#define KIMG_RF_MODE_UPDATE "r+b"
#define KIMG_RF_MODE_CREATE "w+b"

/* Marks an exported entry point of a plug-in. */
#if defined(__GNUC__)
#define KIMG_RF_EXPORT __attribute__((visibility("default")))
#else
#define KIMG_RF_EXPORT
#endif

/* ---- Instance entries (called when the plug-in is loaded) ---------------- */

/* Non-zero when the plug-in may be called from several threads at once. */
typedef long (*Kimg_RFInstanceIsThreadsafeFunc)(void);
/* The string lists: format titles; one template per title; compression
 * names ("None", ... ; default "None"); layer types ("athematic",
 * "thematic", "fft"; default "athematic"); pixel types ("u1" ... "c128";
 * default "u8"); per-title short names and file extensions (".img"); per-title
 * magic lines. Signature (long *count, char ***names). */
typedef long (*Kimg_RFInstanceListGetFunc)(long *count, char ***names);
/* Data orders ("BSQ", "BIL", "BIP"; default "BSQ"), and per order a flag
 * that is non-zero when the format can write files in that order. */
typedef long (*Kimg_RFInstanceRasterDataOrderTypesGetFunc)(long *count, char ***names,
                                                           long **writable);
/* Per-title flags: the format is a directory (IsDirFlags), is shown in file
 * filters (FilterFlags), can create files (IsCreatableFlags). */
typedef long (*Kimg_RFInstanceFlagsGetFunc)(long *count, long **flags);
/* Non-zero when layers can carry map projections. */
typedef long (*Kimg_RFInstanceMapProjectionIsSupportedFunc)(void);

/* ---- File entries --------------------------------------------------------- */

/* Identifies the file's format without opening it; *titleIndex as described
 * above. Returns 0 when identified, negative otherwise. */
typedef long (*Kimg_RFFileTitleIdentifyFunc)(const char *fileName, long *titleIndex,
                                             Kerr_ErrorReport **err);
/* Identifies and, with a mode, opens or creates the file; returns the file
 * handle, or NULL (always NULL for a NULL mode). */
typedef void *(*Kimg_RFFileTitleIdentifyAndOpenFunc)(const char *fileName, long *titleIndex,
                                                     const char *mode, Kerr_ErrorReport **err);
/* Opens a file whose title index is known. */
typedef void *(*Kimg_RFFileOpenFunc)(const char *fileName, long titleIndex, const char *mode,
                                     Kerr_ErrorReport **err);
/* Closes a handle (FileClose) or writes its changes out (FileFlush). */
typedef long (*Kimg_RFFileHandleFunc)(void *file, Kerr_ErrorReport **err);
/* Removes a file of the title (no handle of it is open). */
typedef long (*Kimg_RFFileDestroyFunc)(const char *fileName, long titleIndex,
                                       Kerr_ErrorReport **err);
/* Last modification time of a file of the title. */
typedef long (*Kimg_RFFileModTimeGetFunc)(const char *fileName, long titleIndex, int64_t *modTime,
                                          Kerr_ErrorReport **err);
/* Copies (FileCopy) or renames (FileRename) a file of the title onto a name
 * that does not exist; on failure nothing is left at the destination. */
typedef long (*Kimg_RFFileCopyFunc)(const char *source, const char *destination, long titleIndex,
                                    Kerr_ErrorReport **err);
/* Reads the auxiliary object at nodePath (encoded-object order). */
typedef long (*Kimg_RFFileDataReadFunc)(void *file, const char *nodePath, unsigned char **data,
                                        long *dataSize, char **dictionary, char **typeName,
                                        Kerr_ErrorReport **err);
/* Stores the auxiliary object at nodePath, replacing one already there. */
typedef long (*Kimg_RFFileDataWriteFunc)(void *file, const char *nodePath,
                                         const unsigned char *data, long dataSize,
                                         const char *dictionary, const char *typeName,
                                         Kerr_ErrorReport **err);
/* Modification time of the object at nodePath. */
typedef long (*Kimg_RFFileDataModTimeGetFunc)(void *file, const char *nodePath, int64_t *modTime,
                                              Kerr_ErrorReport **err);
/* Removes the object at nodePath. */
typedef long (*Kimg_RFFileDataDestroyFunc)(void *file, const char *nodePath,
                                           Kerr_ErrorReport **err);
/* The dependent file of a file: for a ".aux" support file, the name of the
 * image it serves (heap string, NULL when none). */
typedef long (*Kimg_RFFileDependentGetFunc)(void *file, char **dependentName,
                                            Kerr_ErrorReport **err);
typedef long (*Kimg_RFFileDependentSetFunc)(void *file, const char *dependentName,
                                            Kerr_ErrorReport **err);
/* The node path under which a layer's objects are kept in this (support)
 * file, when it differs from the layer's own name (heap string, NULL when
 * the same). */
typedef long (*Kimg_RFFileDependentLayerNameGetFunc)(void *file, const char *layerName,
                                                     char **dependentLayerName,
                                                     Kerr_ErrorReport **err);
typedef long (*Kimg_RFFileDependentLayerNameSetFunc)(void *file, const char *layerName,
                                                     const char *dependentLayerName,
                                                     Kerr_ErrorReport **err);
/* Layer names (node paths) of a file, in the file's order (heap array of heap
 * strings); FileRasterFormatsNonStandardDataNamesGet gives the node paths of
 * objects only this format knows, in the same form. */
typedef long (*Kimg_RFFileNamesGetFunc)(void *file, long *count, char ***names,
                                        Kerr_ErrorReport **err);
typedef long (*Kimg_RFFileLayerNamesSetFunc)(void *file, long count, const char *const *names,
                                             Kerr_ErrorReport **err);
/* Covariance matrix of the file's layers (a BaseData matrix of f64). Read
 * fills (re-creating as needed) the given BaseData. */
typedef long (*Kimg_RFFileCovarianceReadFunc)(void *file, Kgda_BaseData *covariance,
                                              Kerr_ErrorReport **err);
typedef long (*Kimg_RFFileCovarianceWriteFunc)(void *file, const Kgda_BaseData *covariance,
                                               Kerr_ErrorReport **err);
/* Data order of the file: one of "bsq", "bil", "bip", "bic", "bipc", "bsqc",
 * "mixed" (heap string); Set takes "BSQ", "BIL" or "BIP". */
typedef long (*Kimg_RFFileRasterDataOrderGetFunc)(void *file, char **order, Kerr_ErrorReport **err);
typedef long (*Kimg_RFFileRasterDataOrderSetFunc)(void *file, const char *order,
                                                  Kerr_ErrorReport **err);

/* ---- Layer entries ---------------------------------------------------------
 * Pixel types, compressions and layer types are indices into the plug-in's
 * own lists. */

/* Opens a layer: returns the layer handle, and its width, height, pixel type,
 * compression, layer type and block size. */
typedef void *(*Kimg_RFLayerOpenFunc)(void *file, const char *layerName, long *width, long *height,
                                      long *pixelType, long *compression, long *layerType,
                                      long *blockWidth, long *blockHeight, Kerr_ErrorReport **err);
/* Creates a layer; the block size is a request the plug-in may change
 * (it gives back what it used). */
typedef void *(*Kimg_RFLayerCreateFunc)(void *file, const char *layerName, long layerType,
                                        long pixelType, long width, long height, long compression,
                                        long *blockWidth, long *blockHeight,
                                        Kerr_ErrorReport **err);
/* Closes a layer handle; LayerDestroy removes a layer (not open) from the
 * file. */
typedef long (*Kimg_RFLayerHandleFunc)(void *layer, Kerr_ErrorReport **err);
typedef long (*Kimg_RFLayerDestroyFunc)(void *file, const char *layerName, Kerr_ErrorReport **err);
typedef long (*Kimg_RFLayerLayerTypeReadFunc)(void *layer, long *layerType, Kerr_ErrorReport **err);
typedef long (*Kimg_RFLayerLayerTypeWriteFunc)(void *layer, long layerType, Kerr_ErrorReport **err);
/* Null value: a 1 x 1 BaseData of the layer's pixel type. Read fills the
 * given BaseData; a layer without one returns a negative status with errno
 * KIMG_RF_STATUS_NO_SUCH_FILE. */
typedef long (*Kimg_RFLayerRasterNullValueReadFunc)(void *layer, Kgda_BaseData *nullValue,
                                                    Kerr_ErrorReport **err);
typedef long (*Kimg_RFLayerRasterNullValueWriteFunc)(void *layer, const Kgda_BaseData *nullValue,
                                                     Kerr_ErrorReport **err);
/* One block in host form (see BLOCKS). */
typedef long (*Kimg_RFLayerRasterReadFunc)(void *layer, long blockRow, long blockColumn, void *data,
                                           Kerr_ErrorReport **err);
/* Optional: pixels [firstColumn, firstColumn + columns) x [firstRow,
 * firstRow + rows) of one block in host form into data, rows pitch bytes
 * apart (reads of whole blocks straight into a caller's rectangle). Columns
 * past the block's width continue into the blocks to its right in the same
 * block row, side by side, as far as the layer has blocks. */
typedef long (*Kimg_RFLayerRasterReadPartFunc)(void *layer, long blockRow, long blockColumn,
                                               long firstColumn, long firstRow, long columns,
                                               long rows, void *data, long pitch,
                                               Kerr_ErrorReport **err);
/* Called with the pixels of one block in host form; a non-zero return stops
 * the walk. The pointer is good only during the call and need not be
 * aligned for the pixel type. */
typedef int (*Kimg_RFBlockVisitFunc)(void *client, long blockColumn, const void *pixels);
/* Optional: hands count blocks of one block row from blockColumn on to
 * visit, one at a time and in order, where they lie in the file when they
 * are stored in host form (else from a copy), under the format's read lock:
 * visit must not call the format. */
typedef long (*Kimg_RFLayerRasterVisitFunc)(void *layer, long blockRow, long blockColumn,
                                            long count, Kimg_RFBlockVisitFunc visit, void *client,
                                            Kerr_ErrorReport **err);
typedef long (*Kimg_RFLayerRasterWriteFunc)(void *layer, long blockRow, long blockColumn,
                                            const void *data, Kerr_ErrorReport **err);
/* Optional: count blocks of one block row from blockColumn on, in host form
 * one after another in data, written at once (whole strips of blocks). */
typedef long (*Kimg_RFLayerRasterWriteRunFunc)(void *layer, long blockRow, long blockColumn,
                                               long count, const void *data,
                                               Kerr_ErrorReport **err);
/* One block as the format stores it (raw mode): heap buffer and its size. A
 * format without this entry has no raw mode. */
typedef long (*Kimg_RFLayerRasterReadMIFFunc)(void *layer, long blockRow, long blockColumn,
                                              unsigned char **data, long *dataSize,
                                              Kerr_ErrorReport **err);
/* Last modification of the raster (and of the descriptor-table columns
 * below). */
typedef long (*Kimg_RFLayerModTimeGetFunc)(void *layer, int64_t *modTime, Kerr_ErrorReport **err);
/* Read-ahead hints for one block, or for a rectangle of pixels; the
 * Cancel entries withdraw a hint given with the same arguments. */
typedef long (*Kimg_RFLayerRasterReadInitiateFunc)(void *layer, long blockRow, long blockColumn,
                                                   Kerr_ErrorReport **err);
typedef long (*Kimg_RFLayerRasterRectangleReadInitiateFunc)(void *layer, long row, long column,
                                                            long rows, long columns,
                                                            Kerr_ErrorReport **err);
/* Names (node paths) of the reduced-resolution layers of a layer. */
typedef long (*Kimg_RFLayerRRDLayerNamesGetFunc)(void *layer, long *count, char ***names,
                                                 Kerr_ErrorReport **err);
typedef long (*Kimg_RFLayerRRDLayerNamesSetFunc)(void *layer, long count, const char *const *names,
                                                 Kerr_ErrorReport **err);
/* Objects of a layer that the format holds natively (scalar statistics, map
 * to pixel transform, map information, map projection), as encoded objects. */
typedef long (*Kimg_RFLayerObjectReadFunc)(void *layer, unsigned char **data, long *dataSize,
                                           char **dictionary, char **typeName,
                                           Kerr_ErrorReport **err);
typedef long (*Kimg_RFLayerObjectWriteFunc)(void *layer, const unsigned char *data, long dataSize,
                                            const char *dictionary, const char *typeName,
                                            Kerr_ErrorReport **err);
/* Descriptor-table columns held by the format (Histogram, Contrast,
 * ClassNames, Color, Opacity): rowCount rows from startRow, as a BaseData
 * table (Read fills the given BaseData). */
typedef long (*Kimg_RFLayerColumnReadFunc)(void *layer, long startRow, long rowCount,
                                           Kgda_BaseData *values, Kerr_ErrorReport **err);
typedef long (*Kimg_RFLayerColumnWriteFunc)(void *layer, long startRow, long rowCount,
                                            const Kgda_BaseData *values, Kerr_ErrorReport **err);

/* ---- Proxy files ---------------------------------------------------------- */

/* Creates the proxy file proxyName referring to referencedName. */
typedef long (*Kimg_RFUAIFileCreateFunc)(const char *proxyName, const char *referencedName,
                                         Kerr_ErrorReport **err);
/* The file a proxy refers to (heap string). */
typedef long (*Kimg_RFUAIReferencedFileNameGetFunc)(const char *proxyName, char **referencedName,
                                                    Kerr_ErrorReport **err);

/* ---- The table -------------------------------------------------------------
 * X(name, signature type, required): every entry point, in table order. */
#define KIMG_RF_ENTRY_POINTS(X)                                                         \
    X(InstanceIsThreadsafe, Kimg_RFInstanceIsThreadsafeFunc, 0)                         \
    X(InstanceTitleListGet, Kimg_RFInstanceListGetFunc, 1)                              \
    X(InstanceTemplateListGet, Kimg_RFInstanceListGetFunc, 1)                           \
    X(InstanceCompressionTypesGet, Kimg_RFInstanceListGetFunc, 0)                       \
    X(InstanceLayerTypesGet, Kimg_RFInstanceListGetFunc, 0)                             \
    X(InstancePixelTypesGet, Kimg_RFInstanceListGetFunc, 0)                             \
    X(InstanceRasterDataOrderTypesGet, Kimg_RFInstanceRasterDataOrderTypesGetFunc, 0)   \
    X(InstanceMapProjectionIsSupported, Kimg_RFInstanceMapProjectionIsSupportedFunc, 0) \
    X(InstanceShortNameListGet, Kimg_RFInstanceListGetFunc, 0)                          \
    X(InstanceExtListGet, Kimg_RFInstanceListGetFunc, 0)                                \
    X(InstanceIsDirFlagsGet, Kimg_RFInstanceFlagsGetFunc, 0)                            \
    X(InstanceFilterFlagsGet, Kimg_RFInstanceFlagsGetFunc, 0)                           \
    X(InstanceIsCreatableFlagsGet, Kimg_RFInstanceFlagsGetFunc, 0)                      \
    X(InstanceMagicListGet, Kimg_RFInstanceListGetFunc, 0)                              \
    X(FileTitleIdentify, Kimg_RFFileTitleIdentifyFunc, 1)                               \
    X(FileTitleIdentifyAndOpen, Kimg_RFFileTitleIdentifyAndOpenFunc, 1)                 \
    X(FileOpen, Kimg_RFFileOpenFunc, 1)                                                 \
    X(FileClose, Kimg_RFFileHandleFunc, 1)                                              \
    X(FileFlush, Kimg_RFFileHandleFunc, 0)                                              \
    X(FileDestroy, Kimg_RFFileDestroyFunc, 0)                                           \
    X(FileModTimeGet, Kimg_RFFileModTimeGetFunc, 0)                                     \
    X(FileCopy, Kimg_RFFileCopyFunc, 0)                                                 \
    X(FileRename, Kimg_RFFileCopyFunc, 0)                                               \
    X(FileDataRead, Kimg_RFFileDataReadFunc, 0)                                         \
    X(FileDataWrite, Kimg_RFFileDataWriteFunc, 0)                                       \
    X(FileDataModTimeGet, Kimg_RFFileDataModTimeGetFunc, 0)                             \
    X(FileDataDestroy, Kimg_RFFileDataDestroyFunc, 0)                                   \
    X(FileDependentGet, Kimg_RFFileDependentGetFunc, 0)                                 \
    X(FileDependentSet, Kimg_RFFileDependentSetFunc, 0)                                 \
    X(FileDependentLayerNameGet, Kimg_RFFileDependentLayerNameGetFunc, 0)               \
    X(FileDependentLayerNameSet, Kimg_RFFileDependentLayerNameSetFunc, 0)               \
    X(FileLayerNamesGet, Kimg_RFFileNamesGetFunc, 1)                                    \
    X(FileLayerNamesSet, Kimg_RFFileLayerNamesSetFunc, 0)                               \
    X(FileCovarianceRead, Kimg_RFFileCovarianceReadFunc, 0)                             \
    X(FileCovarianceWrite, Kimg_RFFileCovarianceWriteFunc, 0)                           \
    X(FileRasterDataOrderGet, Kimg_RFFileRasterDataOrderGetFunc, 0)                     \
    X(FileRasterDataOrderSet, Kimg_RFFileRasterDataOrderSetFunc, 0)                     \
    X(FileRasterFormatsNonStandardDataNamesGet, Kimg_RFFileNamesGetFunc, 0)             \
    X(LayerOpen, Kimg_RFLayerOpenFunc, 1)                                               \
    X(LayerClose, Kimg_RFLayerHandleFunc, 0)                                            \
    X(LayerCreate, Kimg_RFLayerCreateFunc, 0)                                           \
    X(LayerDestroy, Kimg_RFLayerDestroyFunc, 0)                                         \
    X(LayerLayerTypeRead, Kimg_RFLayerLayerTypeReadFunc, 0)                             \
    X(LayerLayerTypeWrite, Kimg_RFLayerLayerTypeWriteFunc, 0)                           \
    X(LayerRasterNullValueRead, Kimg_RFLayerRasterNullValueReadFunc, 0)                 \
    X(LayerRasterNullValueWrite, Kimg_RFLayerRasterNullValueWriteFunc, 0)               \
    X(LayerRasterRead, Kimg_RFLayerRasterReadFunc, 1)                                   \
    X(LayerRasterReadPart, Kimg_RFLayerRasterReadPartFunc, 0)                           \
    X(LayerRasterVisit, Kimg_RFLayerRasterVisitFunc, 0)                                 \
    X(LayerRasterWrite, Kimg_RFLayerRasterWriteFunc, 0)                                 \
    X(LayerRasterWriteRun, Kimg_RFLayerRasterWriteRunFunc, 0)                           \
    X(LayerRasterModTimeGet, Kimg_RFLayerModTimeGetFunc, 0)                             \
    X(LayerRasterReadMIF, Kimg_RFLayerRasterReadMIFFunc, 0)                             \
    X(LayerRasterReadInitiate, Kimg_RFLayerRasterReadInitiateFunc, 0)                   \
    X(LayerRasterReadCancel, Kimg_RFLayerRasterReadInitiateFunc, 0)                     \
    X(LayerRasterRectangleReadInitiate, Kimg_RFLayerRasterRectangleReadInitiateFunc, 0) \
    X(LayerRasterRectangleReadCancel, Kimg_RFLayerRasterRectangleReadInitiateFunc, 0)   \
    X(LayerRRDLayerNamesGet, Kimg_RFLayerRRDLayerNamesGetFunc, 0)                       \
    X(LayerRRDLayerNamesSet, Kimg_RFLayerRRDLayerNamesSetFunc, 0)                       \
    X(LayerScalarStatisticsRead, Kimg_RFLayerObjectReadFunc, 0)                         \
    X(LayerScalarStatisticsWrite, Kimg_RFLayerObjectWriteFunc, 0)                       \
    X(LayerMapToPixelTransformRead, Kimg_RFLayerObjectReadFunc, 0)                      \
    X(LayerMapToPixelTransformWrite, Kimg_RFLayerObjectWriteFunc, 0)                    \
    X(LayerMapInfoRead, Kimg_RFLayerObjectReadFunc, 0)                                  \
    X(LayerMapInfoWrite, Kimg_RFLayerObjectWriteFunc, 0)                                \
    X(LayerMapProjectionRead, Kimg_RFLayerObjectReadFunc, 0)                            \
    X(LayerMapProjectionWrite, Kimg_RFLayerObjectWriteFunc, 0)                          \
    X(LayerHistogramRead, Kimg_RFLayerColumnReadFunc, 0)                                \
    X(LayerHistogramWrite, Kimg_RFLayerColumnWriteFunc, 0)                              \
    X(LayerHistogramModTimeGet, Kimg_RFLayerModTimeGetFunc, 0)                          \
    X(LayerHistogramDestroy, Kimg_RFLayerHandleFunc, 0)                                 \
    X(LayerContrastRead, Kimg_RFLayerColumnReadFunc, 0)                                 \
    X(LayerContrastWrite, Kimg_RFLayerColumnWriteFunc, 0)                               \
    X(LayerContrastModTimeGet, Kimg_RFLayerModTimeGetFunc, 0)                           \
    X(LayerContrastDestroy, Kimg_RFLayerHandleFunc, 0)                                  \
    X(LayerClassNamesRead, Kimg_RFLayerColumnReadFunc, 0)                               \
    X(LayerClassNamesWrite, Kimg_RFLayerColumnWriteFunc, 0)                             \
    X(LayerClassNamesModTimeGet, Kimg_RFLayerModTimeGetFunc, 0)                         \
    X(LayerClassNamesDestroy, Kimg_RFLayerHandleFunc, 0)                                \
    X(LayerColorRead, Kimg_RFLayerColumnReadFunc, 0)                                    \
    X(LayerColorWrite, Kimg_RFLayerColumnWriteFunc, 0)                                  \
    X(LayerColorModTimeGet, Kimg_RFLayerModTimeGetFunc, 0)                              \
    X(LayerColorDestroy, Kimg_RFLayerHandleFunc, 0)                                     \
    X(LayerOpacityRead, Kimg_RFLayerColumnReadFunc, 0)                                  \
    X(LayerOpacityWrite, Kimg_RFLayerColumnWriteFunc, 0)                                \
    X(LayerOpacityModTimeGet, Kimg_RFLayerModTimeGetFunc, 0)                            \
    X(LayerOpacityDestroy, Kimg_RFLayerHandleFunc, 0)                                   \
    X(UAIFileCreate, Kimg_RFUAIFileCreateFunc, 0)                                       \
    X(UAIReferencedFileNameGet, Kimg_RFUAIReferencedFileNameGetFunc, 0)

KRASTER_END_DECLS

#endif
