/* Image files: the file level of the image layer. Every raster format is
 * served by a run-time plug-in of the class "RasterFormats" (kimgrf.h); this
 * module finds the plug-in that serves a file (by format title, file-name
 * template, content magic, character set, by asking every plug-in, or by the
 * default format), shares one plug-in handle per file and mode among its
 * users, keeps the 16 most recently closed files open in a close queue, and
 * exchanges auxiliary objects with plug-ins as encoded MIF objects. Formats
 * that cannot hold such objects get a ".aux" support file of the native
 * format ("MIRAVEN Image") beside the image.
 *
 * Plug-ins are described once in a database file under the user's cache
 * directory ($XDG_CACHE_HOME/kraster/rasterformats.db, else
 * $HOME/.cache/kraster/rasterformats.db), rebuilt when a plug-in file is
 * newer than its record or the set of plug-ins changed, and loaded only when
 * a file needs them. With the preference orvel.dll_runtime_scan set, the
 * database is not used: every plug-in is loaded when the table is built.
 *
 * Names given to the file operations are file names (kfnp.h); the node-data
 * operations take a file name followed by a node path, "%s(:%s)".
 *
 * Status codes of identification (the KIMG_RF_STATUS_* of kimgrf.h): 2 no
 * such file, 13 permission denied, 17 file exists, 19 title not creatable,
 * 33 unrecognized format, 34 format mismatch or plug-in unusable. */
#ifndef KRASTER_KIMG_H
#define KRASTER_KIMG_H

#include "kdefs.h"
#include "kerr.h"
#include "kmif.h"
#include "kimgrf.h"
#include "kdsc.h"
#include "kint.h"
#include "kprj.h"
#include "ksta.h"
#include "kxfr.h"

KRASTER_BEGIN_DECLS

/* An open image file (kimg_FileOpen). */
typedef struct Kimg_File Kimg_File;

/* ---- Open and close --------------------------------------------------------- */

/* Opens a file for update, else for reading, else identifies it only. The
 * options after err are int codes ended by 0; each is reported ("Unrecognized
 * file option %d - ignored.") and skipped. A file no plug-in recognises gives
 * NULL and no report. */
KRASTER_API Kimg_File *kimg_FileOpen(const char *fileName, Kerr_ErrorReport **err, ...);
/* Closes what kimg_FileOpen opened; reads and updates pass through the close
 * queue. 0, or -1 with a report (the handle is freed either way). */
KRASTER_API int kimg_FileClose(Kimg_File *file, Kerr_ErrorReport **err);
/* The mode the file was opened with: "r+b", "r", or NULL (identified only). */
KRASTER_API const char *kimg_FileOpenModeGet(const Kimg_File *file);
/* 1 when the file is open for update, 0 when not, -1 for NULL (report). */
KRASTER_API int kimg_FileIsWritable(const Kimg_File *file, Kerr_ErrorReport **err);
/* Writes the plug-in's buffered changes of the image and its support file. */
KRASTER_API int kimg_FileFlush(Kimg_File *file, Kerr_ErrorReport **err);
/* Performs the queued closes of the file and of its support files (".aux",
 * ".rrd", ".chp"), so that they may be renamed or removed. 0 or -1. */
KRASTER_API int kimg_FileNameDequeue(const char *fileName, Kerr_ErrorReport **err);

/* ---- Identification --------------------------------------------------------- */

/* The format title of a file (heap string), or NULL with a report. */
KRASTER_API char *kimg_FileTitleIdentify(const char *fileName, Kerr_ErrorReport **err);
/* As kimg_FileTitleIdentify, also giving the serving plug-in's name (heap
 * string) and the title index within it; either pointer may be NULL. With
 * status not NULL, failure of identification is not reported: *status
 * receives its code (0 on success). */
KRASTER_API char *kimg_FileTitleIdentifyX(const char *fileName, char **instanceName,
                                          long *titleIndex, long *status, Kerr_ErrorReport **err);
/* 1 when the file is of the format title, 0 when not, -1 with a report. */
KRASTER_API int kimg_FileTitleVerify(const char *fileName, const char *title,
                                     Kerr_ErrorReport **err);
/* File-type class of a file: 0 for the titles "MIRAVEN Image", "FFT",
 * "PANEL", "RRD"; 1 "ORVEL 7.5 LAN" and "ORVEL 7.5 GIS"; 2 "GRID" and
 * "GRID Stack"; 3 any other; -1 with a report. */
KRASTER_API int kimg_FileType(const char *fileName, Kerr_ErrorReport **err);
/* "MIRAVEN", "ORVEL 7.5", "ESRI GRID", "UNKNOWN" (for any other class). */
KRASTER_API const char *kimg_FileTypeName(int fileType);
/* The pixel-type or compression names of the file's format: *count and a
 * heap array of heap strings (free each, then the array). 0 or -1. */
KRASTER_API int kimg_FilePixelTypesGet(const char *fileName, long *count, char ***names,
                                       Kerr_ErrorReport **err);
KRASTER_API int kimg_FileCompressionTypesGet(const char *fileName, long *count, char ***names,
                                             Kerr_ErrorReport **err);
/* The name of the ".aux" support file of an image whose format needs one
 * (heap string; NULL without a report when the format needs none). */
KRASTER_API char *kimg_FileSupportFileIdentify(const char *fileName, Kerr_ErrorReport **err);
/* 1 when supportName is a support file recorded for fileName (its
 * dependent file), 0 when not, -1 with a report. */
KRASTER_API int kimg_FileSupportFileVerify(const char *fileName, const char *supportName,
                                           Kerr_ErrorReport **err);

/* ---- File services ---------------------------------------------------------- */

/* Modification time (seconds since 1970) of a file, through its plug-in or
 * the file system. 0 or -1. */
KRASTER_API int kimg_FileModTimeGet(const char *fileName, int64_t *modTime, Kerr_ErrorReport **err);
/* Permission bits of a file (07777), and setting them. 0 or -1. */
KRASTER_API int kimg_FileModeGet(const char *fileName, uint32_t *mode, Kerr_ErrorReport **err);
KRASTER_API int kimg_FileModeSet(const char *fileName, uint32_t mode, Kerr_ErrorReport **err);
/* Removes a file with its support files. 0 or -1. */
KRASTER_API int kimg_FileDestroy(const char *fileName, Kerr_ErrorReport **err);
/* Renames a file with its support files (never over an existing name); on
 * failure what was renamed is renamed back. 0 or -1. */
KRASTER_API int kimg_FileRename(const char *oldName, const char *newName, Kerr_ErrorReport **err);
/* Copies a file with its support files onto a name that does not exist; a
 * failed copy leaves no destination. A file of the same format is copied
 * whole; into another format (by the destination's template or the TITLE
 * option) or with another compression, layer by layer, then the objects only
 * the source's format knows. The options after err are codes, each followed
 * by its value, ended by 0 (an unknown code is reported and skipped):
 *   KIMG_FILE_COPY_OPTION_METER, const Kimg_Meter *: told the progress of the
 *     whole copy; a non-zero return stops it ("User abort"; a whole-file copy
 *     is removed when it is asked to stop at its end);
 *   KIMG_FILE_COPY_OPTION_COMPRESSION_TYPE_NAME, const char *: the layers'
 *     compression in the copy;
 *   KIMG_FILE_COPY_OPTION_TITLE, const char *: the copy's format title
 *     ("No raster format has the title %s").
 * 0 or -1. */
#define KIMG_FILE_COPY_OPTION_METER 1
#define KIMG_FILE_COPY_OPTION_COMPRESSION_TYPE_NAME 2
#define KIMG_FILE_COPY_OPTION_TITLE 3
KRASTER_API int kimg_FileCopy(const char *source, const char *destination, Kerr_ErrorReport **err,
                              ...);
/* A proxy file for fileName: the name normalised with its environment
 * variables evaluated, made into a file of the title "Unrestricted Access
 * Image" (same directory and base name, extension ".uai") through the
 * serving plug-in's UAIFileCreate. Returns the proxy's name (heap string). */
KRASTER_API char *kimg_FileProxyName(const char *fileName, Kerr_ErrorReport **err);

/* An image chip: a small colour picture of a file for previews, as a new
 * stack of three u8 rasters (red, green, blue) whose larger side is
 * min(maxSize, the image's) and whose other side keeps the proportion. The
 * layers shown are those the numbers filepref.tm_default_red_band,
 * _green_band and _blue_band name (1-based; defaults 4, 3, 2) when the file
 * has all three, else its first three layers, else its first layer as grey.
 * Each pixel is the layer's pixel nearest to the chip pixel's centre; u8
 * layers keep their values, others are stretched linearly from the smallest
 * to the largest value sampled to 0 to 255 (NaN gives 0). A ".chp" file
 * beside the image that is not older than the image and holds three u8
 * layers of the chip's size is read instead; with store non-zero a computed
 * chip is written there (a native file, replacing an old one). maxSize runs
 * from 1 to 4096. Free the stack with kgda_BaseDataStackDelete. */
KRASTER_API Kgda_BaseDataStack *kimg_FileImageChipGet(const char *fileName, long maxSize, int store,
                                                      Kerr_ErrorReport **err);

/* ---- Auxiliary objects -------------------------------------------------------
 * Objects are host records described by MIF designs. A read returns a new
 * object and, through *design, a copy of its design (free the object with
 * kmif_ObjectFree and that design, then the design with kmif_DesignDestroy).
 * Objects live in the image file when its plug-in stores them, otherwise in
 * the ".aux" support file, which a write creates when missing. */

KRASTER_API void *kimg_FileDataRead(Kimg_File *file, const char *nodePath, Kmif_Design **design,
                                    Kerr_ErrorReport **err);
KRASTER_API int kimg_FileDataWrite(Kimg_File *file, const char *nodePath, const void *object,
                                   const Kmif_Design *design, Kerr_ErrorReport **err);
KRASTER_API int kimg_FileDataModTimeGet(Kimg_File *file, const char *nodePath, int64_t *modTime,
                                        Kerr_ErrorReport **err);
KRASTER_API int kimg_FileDataDestroy(Kimg_File *file, const char *nodePath, Kerr_ErrorReport **err);
/* The same by a name "file(:node:path)". */
KRASTER_API void *kimg_FileNodeDataRead(const char *fileNodeName, Kmif_Design **design,
                                        Kerr_ErrorReport **err);
KRASTER_API int kimg_FileNodeDataWrite(const char *fileNodeName, const void *object,
                                       const Kmif_Design *design, Kerr_ErrorReport **err);
KRASTER_API int kimg_FileNodeDataModTimeGet(const char *fileNodeName, int64_t *modTime,
                                            Kerr_ErrorReport **err);
KRASTER_API int kimg_FileNodeDataDestroy(const char *fileNodeName, Kerr_ErrorReport **err);
/* Node paths of the objects that only the file's format knows (heap array
 * of heap strings), and copying them from one open file to another. */
KRASTER_API int kimg_FileNonStandardObjectList(Kimg_File *file, long *count, char ***nodePaths,
                                               Kerr_ErrorReport **err);
KRASTER_API int kimg_FileNonStandardObjectsCopy(Kimg_File *source, Kimg_File *destination,
                                                Kerr_ErrorReport **err);

/* ---- The plug-in table -------------------------------------------------------- */

/* One line per format title of every usable plug-in, for file dialogs: the
 * titles whose filter flag is set, with their templates (heap arrays of heap
 * strings). 0 or -1. */
KRASTER_API int kimg_RasterFormatsFilterTableGet(long *count, char ***titles, char ***templates,
                                                 Kerr_ErrorReport **err);

/* Description of one usable plug-in (kimg_RasterFormatsDescribe). */
typedef struct Kimg_RFDescription {
    char *instanceName; /* plug-in name */
    char *path;         /* library file */
    int32_t loaded;     /* 1 when the library is loaded */
    int32_t needsSupportFile;
    int32_t threadSafe;
    long titleCount;
    char **titles;
    char **templates;   /* one per title */
    int32_t *pseudo;    /* one per title: the template is never matched */
    int32_t *creatable; /* one per title */
    long pixelTypeCount;
    char **pixelTypes;
    long compressionCount;
    char **compressions;
    long layerTypeCount;
    char **layerTypes;
    int32_t rejected;   /* 1 when the plug-in cannot be used (the lists are empty) */
    char *rejectReason; /* why, or NULL */
} Kimg_RFDescription;

/* Describes every plug-in found, loading them all; the rejected ones come
 * last with the reason. *descriptions is a heap array freed with
 * kimg_RasterFormatsDescriptionFree. 0 or -1. */
KRASTER_API int kimg_RasterFormatsDescribe(long *count, Kimg_RFDescription **descriptions,
                                           Kerr_ErrorReport **err);
KRASTER_API void kimg_RasterFormatsDescriptionFree(long count, Kimg_RFDescription *descriptions);
/* Testing aid: number of plug-in libraries of the table currently loaded. */
KRASTER_API long kimg_RasterFormatsLoadedCount(void);
/* Testing aid: performs every queued close, forgets the plug-in table (the
 * rejections with it) and unloads the plug-ins, so that the next use builds
 * the table again from the environment. Files still open stay usable only
 * until closed; call it with none open. */
KRASTER_API void kimg_RasterFormatsReset(void);

/* ---- Disk space ----------------------------------------------------------------- */

/* Called with the bytes needed, the file name (or NULL) and the client data;
 * returns non-zero to go on. */
typedef int (*Kimg_DiskFullHandler)(double bytesNeeded, const char *fileName, void *clientData);
/* Replaces the handler (NULL: none). */
KRASTER_API void kimg_DiskFullHandlerRegister(Kimg_DiskFullHandler handler, void *clientData);
/* The handler's answer for the file and the bytes it needs, or 1 when no
 * handler is registered. */
KRASTER_API int kimg_DiskSpaceAvailable(const char *fileName, double bytesNeeded);
/* Prints "There may not be enough disk space for %s, which is estimated to
 * need %d Kb more." as a warning and returns 1. */
KRASTER_API int kimg_DefaultDiskFullHandler(double bytesNeeded, const char *fileName,
                                            void *clientData);

/* ==== Image layers ==========================================================
 * Image layers: one band of a raster image, a width x height grid of pixels
 * of one pixel type stored in blocks by a raster format plug-in (kimgrf.h),
 * read and written through a block cache (kdms.h) whatever the format.
 *
 * NAMES. A layer is named by its file name followed by its node path in
 * parentheses after a colon: "dir/image.img(:Layer_1)" (kfnp.h).
 *
 * TYPES. Layer types: 0 "thematic", 1 "athematic", 2 "fft". Pixel types are
 * the codes 0 ("u1") to 12 ("c128") of kgda.h; thematic layers take the
 * unsigned integer types only, fft layers c64 and c128. A format offers its
 * own lists of layer types, pixel types and compressions; a layer's
 * compression is an index into its format's list.
 *
 * PIXEL RECTANGLES are BaseData rasters (object type KGDA_RASTER_OBJECT) of
 * any numeric pixel type; reads and writes convert between the layer's type
 * and the rectangle's with the rules of kpxm.h.
 *
 * WINDOWS. A Kgda_Window of a layer holds, in order, the first column, the
 * first row, the last column and the last row (inclusive) of the area that
 * kimg_LayerRead and kimg_LayerWrite address; without a window that is the
 * whole layer.
 *
 * OPTIONS. Create, open and change take a list of options: an option number
 * followed by its values, ended by 0. The variadic forms read each value
 * with the C type given below (long counts: pass 8L, not 8); the ...VAPtr
 * forms take one intptr_t word per value (a double travels as its bit
 * pattern). An unknown number is reported ("Invalid option specified (%d):
 * ignored") and the rest of the list is not read. An option that fits only
 * the other operation is reported as a warning and skipped. Numbers marked
 * "not yet supported" are recognised and skipped with the warning "Option %d
 * not yet supported through kimg_LayerOptionsChangeInternal"; those marked
 * "no longer supported" likewise with "Option %d no longer supported through
 * kimg_LayerOptionsChangeInternal".
 *
 * Every operation takes the caller's report-pointer address last; int
 * results are 0 on success and -1 on failure, pointers NULL on failure. A
 * layer handle is used by one thread at a time. */

/* An open layer. */
typedef struct Kimg_Layer Kimg_Layer;

#define KIMG_LAYER_THEMATIC 0
#define KIMG_LAYER_ATHEMATIC 1
#define KIMG_LAYER_FFT 2

/* ---- Options (number, values) ------------------------------------------- */
/* long index into the format's compressions; create only; obsolete. */
#define KIMG_LAYER_OPTION_COMPRESSION_TYPE 1
/* long blockWidth, long blockHeight (positive); create only. */
#define KIMG_LAYER_OPTION_BLOCK_SIZE 2
/* no value: open read-only; open only. */
#define KIMG_LAYER_OPTION_READONLY 3
/* long blocks: size of the block cache (0: no cache, every access goes to
 * the plug-in; negative: the default, two rows of blocks, at least 4). */
#define KIMG_LAYER_OPTION_CACHED_BLOCKS_MAX 4
/* const Kgda_Window *window (copied; NULL: the whole layer). */
#define KIMG_LAYER_OPTION_WINDOW 5
/* const char *title of the resampling method of reads through a geometric
 * transform (KIMG_LAYER_OPTION_GEOMETRIC_TRANS); default "MIRAVEN Nearest
 * Neighbor Resampling". */
#define KIMG_LAYER_OPTION_RESAMPLE_METHOD 6
/* no value: obsolete, ignored. */
#define KIMG_LAYER_OPTION_NO_DMS 7
/* const char *name: open the layer's descriptor table of that name (NULL:
 * "Descriptor_Table") with kimg_TableOpen; the layer keeps it (see
 * kimg_LayerDescriptorTableQuery) and closes it when it closes or gets
 * another. */
#define KIMG_LAYER_OPTION_DESCRIPTOR_TABLE_OPEN 8
/* const char *name, long rows, const Kdsc_BinFunction *binFunction: the same
 * with a table made by kimg_TableCreate. */
#define KIMG_LAYER_OPTION_DESCRIPTOR_TABLE_CREATE 9
/* const Kfga_Polynomial *forward, const Kfga_Polynomial *inverse, const
 * char *resampleMethod: obsolete form of KIMG_LAYER_OPTION_GEOMETRIC_TRANS
 * (warned "KIMG_LAYER_OPTION_POLYTRANS is obsolete;\nuse
 * KIMG_LAYER_OPTION_GEOMETRIC_TRANS"), still applied: the transform becomes
 * one "Polynomial" step of forward (output pixel to window pixel) and
 * inverse (NULL: fitted); a NULL forward drops the transform; a method
 * title given replaces KIMG_LAYER_OPTION_RESAMPLE_METHOD. A pair that makes
 * no step: "kxfr_XFormCreateFromPolyPair failed". */
#define KIMG_LAYER_OPTION_POLYTRANS 10
/* no value: drop the rescale (no longer supported). */
#define KIMG_LAYER_OPTION_NO_RESCALE 11
/* no value: drop the convolution (no longer supported). */
#define KIMG_LAYER_OPTION_NO_CONVOLUTION 12
/* const Kimg_RescaleInfo *rescale (copied; NULL: none) applied by
 * kimg_LayerRead. */
#define KIMG_LAYER_OPTION_RESCALE 13
/* const Kimg_Meter *meter (copied; NULL: none) told about long operations. */
#define KIMG_LAYER_OPTION_METER 14
/* const Kgda_BaseData *mask: the area of interest of the statistics, a
 * numeric raster of the layer's height x width (copied; NULL drops it).
 * Pixels where it is 0 are left out of statistics, histograms and
 * covariance. Another size: "Area of interest must be a raster of the
 * layer's size (%ld x %ld)". */
#define KIMG_LAYER_OPTION_AOI 15
/* no value: drop the area of interest. */
#define KIMG_LAYER_OPTION_NO_AOI 16
/* const Kdsc_BinFunction *binFunction (copied; NULL: none): the bin function
 * of the statistics (kimg_LayerBinFunctionQuery). */
#define KIMG_LAYER_OPTION_BIN_FUNCTION 17
/* no value: reads address the whole layer again. */
#define KIMG_LAYER_OPTION_NO_WINDOW 18
/* long nodeType: obsolete, ignored. */
#define KIMG_LAYER_OPTION_KHFA_NODE_TYPE 19
/* const Kimg_ConvolveInfo *convolution (copied; NULL: none) applied by
 * kimg_LayerRead. */
#define KIMG_LAYER_OPTION_CONVOLUTION 20
/* no value: 0 joins the excluded values. */
#define KIMG_LAYER_OPTION_EXCLUDE_ZERO 21
/* const Kgda_BaseData *values: the excluded values of the statistics (any
 * numeric type, converted to f64; NULL clears them). */
#define KIMG_LAYER_OPTION_EXCLUDED_VALUES 22
/* const Kgda_BaseData *value: the null value of this handle (1 x 1, any
 * numeric type, converted to the layer's). */
#define KIMG_LAYER_OPTION_NULL_VALUE 23
/* no value: no excluded values. */
#define KIMG_LAYER_OPTION_NO_EXCLUDED_VALUES 24
/* no value: do not recompute statistics when the layer closes. */
#define KIMG_LAYER_OPTION_NO_STATS_ON_CLOSE 25
/* const char *order "BSQ", "BIL" or "BIP" of a new file; create only. */
#define KIMG_LAYER_OPTION_DATA_ORDER 26
/* const char *title: the format of a new file; create only. */
#define KIMG_LAYER_OPTION_FILE_TITLE 27
/* 28: long (no longer supported). */
#define KIMG_LAYER_OPTION_RESERVED_28 28
/* 29 to 32, 35, 36: no value (no longer supported). */
#define KIMG_LAYER_OPTION_RESERVED_29 29
#define KIMG_LAYER_OPTION_RESERVED_30 30
#define KIMG_LAYER_OPTION_RESERVED_31 31
#define KIMG_LAYER_OPTION_RESERVED_32 32
/* const Kxfr_XForm *xForm (copied; NULL: none): the geometric transform of
 * kimg_LayerRead. Output pixel (column + c, row + r) of a read takes the
 * layer's value at the image of that position under the chain, in window
 * pixel coordinates (window pixel (i, j) has its centre at (j, i)),
 * resampled by the method of KIMG_LAYER_OPTION_RESAMPLE_METHOD; null pixels
 * of the layer are left out of the kernel, and an output pixel with no
 * data (outside the window) gets the layer's null value (0 without one).
 * The rescale and convolution apply to the transformed pixels. Writes are
 * refused while a transform is set. */
#define KIMG_LAYER_OPTION_GEOMETRIC_TRANS 33
/* long x, long y: statistics skip factors (each at least 1). */
#define KIMG_LAYER_OPTION_SKIP_FACTORS 34
#define KIMG_LAYER_OPTION_RESERVED_35 35
#define KIMG_LAYER_OPTION_RESERVED_36 36
/* const char *name of the compression; "Default": the format's first;
 * create only. */
#define KIMG_LAYER_OPTION_COMPRESSION_TYPE_NAME 37
/* long on: raw mode, blocks as the format stores them (reads only). */
#define KIMG_LAYER_OPTION_RAW_MODE 38
/* const char *extension of the support file (".aux" by default). */
#define KIMG_LAYER_OPTION_SUPPORT_FILE_EXTENSION 39
/* long levels of undo (0: none); superseded blocks are kept in a temporary
 * stash file "STASH..." in the temporary directory. */
#define KIMG_LAYER_OPTION_UNDO_LEVELS 40
/* 41: no value (no longer supported). */
#define KIMG_LAYER_OPTION_RESERVED_41 41
/* long on: opening a layer that does not exist is an error (the default). */
#define KIMG_LAYER_OPTION_ERROR_IF_NONEXISTENT 42
/* long on: write blocks to the plug-in as soon as they are complete. */
#define KIMG_LAYER_OPTION_WRITE_THROUGH 43
/* long bytes: size of the block cache in bytes (rounded down to blocks, at
 * least one block). */
#define KIMG_LAYER_OPTION_CACHE_BYTES 64
/* 128 to 2048: long (no longer supported). */
#define KIMG_LAYER_OPTION_RESERVED_128 128
#define KIMG_LAYER_OPTION_RESERVED_256 256
#define KIMG_LAYER_OPTION_RESERVED_512 512
#define KIMG_LAYER_OPTION_RESERVED_1024 1024
#define KIMG_LAYER_OPTION_RESERVED_2048 2048
/* long on: compute the pyramid layers when the layer closes after a change
 * (default: the preference filepref.compute_subsampled_images). */
#define KIMG_LAYER_OPTION_RRD_COMPUTE_ON_CLOSE 4096
/* const char *kernel "2X2", "4X4" or "NEAREST" (nearest neighbour) of the
 * pyramid levels, or the title of a resampling method (default: the
 * preference filepref.subsampling_kernel); another: "Invalid pyramid kernel
 * %s". The two "with prior Rescale to 8-bit" methods make u8 levels (see
 * kimg_LayerRRDCompute). */
#define KIMG_LAYER_OPTION_RRD_KERNEL 4097
/* long on: pyramid levels in a ".rrd" file beside the image (default: the
 * preference filepref.rrd_external). */
#define KIMG_LAYER_OPTION_RRD_EXTERNAL 4098
/* double sx, double sy: pixel sizes that shape the first pyramid level
 * (square pixels); 0, 0 for none. */
#define KIMG_LAYER_OPTION_RRD_PIXEL_SIZE 4099
/* three values (no longer supported). */
#define KIMG_LAYER_OPTION_RESERVED_4100 4100

/* Progress of long operations (pyramids, copies): fraction 0 to 1 of the
 * named task; a non-zero return asks the operation to stop ("User abort"). */
typedef struct Kimg_Meter {
    int (*update)(double fraction, const char *task, void *clientData);
    void *clientData;
} Kimg_Meter;

/* ---- Names and types ---------------------------------------------------- */

/* "thematic", "athematic", "fft", or NULL for another index. */
KRASTER_API const char *kimg_LayerTypeName(int32_t layerType);
/* The index of a layer-type name; an unknown name is athematic. */
KRASTER_API int32_t kimg_LayerNameType(const char *name);
/* Packed bytes per pixel: 0.125, 0.25, 0.5, 1, 1, 2, 2, 4, 4, 4, 8, 8, 16
 * for the types 0 to 12; 0 for any other. */
KRASTER_API double kimg_PackedBytesPerPixel(int32_t pixelType);
/* "None", "Run-Length Encoding (ESRI)", or NULL for another index. */
KRASTER_API const char *kimg_CompressionTypeName(int32_t compression);
/* 1 when the pixel type suits the layer type, else 0. */
KRASTER_API int kimg_PixelTypeIsValidForLayerType(int32_t pixelType, int32_t layerType);

/* ---- Create, open, change, close ----------------------------------------
 * toolkit must be the handle kint_InitToolkit returned ("Uninitialized
 * toolkit"). */

/* Creates a layer in a new or existing file (options: intptr_t words). */
KRASTER_API Kimg_Layer *kimg_LayerCreateVAPtr(const char *layerName, int32_t layerType,
                                              int32_t pixelType, long width, long height,
                                              Kint_InitToolkitData *toolkit, Kerr_ErrorReport **err,
                                              const intptr_t *options);
KRASTER_API Kimg_Layer *kimg_LayerCreate(const char *layerName, int32_t layerType,
                                         int32_t pixelType, long width, long height,
                                         Kint_InitToolkitData *toolkit, Kerr_ErrorReport **err,
                                         ...);
/* Opens an existing layer: for update when the file allows it, else
 * read-only. */
KRASTER_API Kimg_Layer *kimg_LayerOpenVAPtr(const char *layerName, Kint_InitToolkitData *toolkit,
                                            Kerr_ErrorReport **err, const intptr_t *options);
KRASTER_API Kimg_Layer *kimg_LayerOpen(const char *layerName, Kint_InitToolkitData *toolkit,
                                       Kerr_ErrorReport **err, ...);
/* Applies options to an open layer. */
KRASTER_API int kimg_LayerChangeOptionsVAPtr(Kimg_Layer *layer, Kerr_ErrorReport **err,
                                             const intptr_t *options);
KRASTER_API int kimg_LayerChangeOptions(Kimg_Layer *layer, Kerr_ErrorReport **err, ...);
/* Flushes the cache, checks the pyramid layers (warning "Warning:  Pyramid
 * layers for %s appear to be out of date" when the raster changed after
 * them, or recomputes them when asked), closes the plug-in's layer and the
 * file, and frees the handle (always, even when a step fails). NULL is
 * accepted. */
KRASTER_API int kimg_LayerClose(Kimg_Layer *layer, Kerr_ErrorReport **err);

/* ---- Queries --------------------------------------------------------------- */

/* What an open layer is. */
typedef struct Kimg_LayerInfo {
    long width;
    long height;
    int32_t layerType;
    int32_t pixelType;
    long blockWidth;
    long blockHeight;
    int32_t compression; /* index into the format's list */
    int32_t readOnly;
    int32_t rasterModified;
    int32_t rawMode;
    long cachedBlocksMax;
    long undoLevels;
} Kimg_LayerInfo;

KRASTER_API int kimg_LayerInfoGet(const Kimg_Layer *layer, Kimg_LayerInfo *info,
                                  Kerr_ErrorReport **err);
/* The full name, "file(:node)" (owned by the layer). */
KRASTER_API const char *kimg_LayerNameQuery(const Kimg_Layer *layer);
/* 1 for a read-only (or NULL) layer, else 0. */
KRASTER_API int kimg_LayerReadOnlyQuery(const Kimg_Layer *layer);
/* Size of the block cache in blocks; -1 for NULL. */
KRASTER_API long kimg_LayerCachedBlocksMaxQuery(const Kimg_Layer *layer);
/* 1 when the raster was changed through this handle (and not undone). */
KRASTER_API int kimg_LayerRasterModifiedQuery(const Kimg_Layer *layer);
/* Name of the layer's compression in its format's list (owned by the
 * library), or NULL. */
KRASTER_API const char *kimg_LayerCompressionTypeQuery(const Kimg_Layer *layer);
/* The descriptor table and the statistics bin function set through the
 * options (owned by the layer), or NULL. */
KRASTER_API Kdsc_Table *kimg_LayerDescriptorTableQuery(const Kimg_Layer *layer);
KRASTER_API const Kdsc_BinFunction *kimg_LayerBinFunctionQuery(const Kimg_Layer *layer);
/* Title of the resampling method set with KIMG_LAYER_OPTION_RESAMPLE_METHOD,
 * or NULL. */
KRASTER_API const char *kimg_LayerResampleMethodQuery(const Kimg_Layer *layer);
/* The geometric transform set with KIMG_LAYER_OPTION_GEOMETRIC_TRANS or
 * KIMG_LAYER_OPTION_POLYTRANS (owned by the layer), or NULL;
 * kimg_LayerTransformationQuery is the same. */
KRASTER_API const struct Kxfr_XForm *kimg_LayerGeometricTransQuery(const Kimg_Layer *layer);
KRASTER_API const struct Kxfr_XForm *kimg_LayerTransformationQuery(const Kimg_Layer *layer);
/* The excluded values (f64, sorted, distinct) as a new 1 x n table, or a
 * 0 x 0 one when there are none. */
KRASTER_API Kgda_BaseData *kimg_LayerExcludedValuesGet(const Kimg_Layer *layer,
                                                       Kerr_ErrorReport **err);
/* The statistics skip factors. */
KRASTER_API int kimg_LayerSkipFactorsGet(const Kimg_Layer *layer, long *x, long *y,
                                         Kerr_ErrorReport **err);
/* The support-file extension (".aux" unless changed; owned by the layer). */
KRASTER_API const char *kimg_LayerSupportFileExtensionQuery(const Kimg_Layer *layer);
/* Copies the window (whole layer when none was set) into *window. */
KRASTER_API int kimg_LayerWindowGet(const Kimg_Layer *layer, Kgda_Window *window,
                                    Kerr_ErrorReport **err);

/* ---- Pixel rectangles and windows ---------------------------------------- */

/* A new height x width raster of the pixel type (zero-filled). */
KRASTER_API Kgda_BaseData *kimg_PixelRectCreate(long width, long height, int32_t pixelType,
                                                Kerr_ErrorReport **err);
/* Copies source into destination (made like source when NULL). */
KRASTER_API Kgda_BaseData *kimg_PixelRectCopy(const Kgda_BaseData *source,
                                              Kgda_BaseData *destination, Kerr_ErrorReport **err);
KRASTER_API void kimg_PixelRectDelete(Kgda_BaseData *pixelRect, Kerr_ErrorReport **err);
/* firstColumn, firstRow, lastColumn, lastRow. */
KRASTER_API Kgda_Window *kimg_WindowCreate(long firstColumn, long firstRow, long lastColumn,
                                           long lastRow, Kerr_ErrorReport **err);
KRASTER_API Kgda_Window *kimg_WindowCopy(const Kgda_Window *source, Kgda_Window *destination,
                                         Kerr_ErrorReport **err);
KRASTER_API void kimg_WindowDelete(Kgda_Window *window, Kerr_ErrorReport **err);

/* ---- Raster access ---------------------------------------------------------- */

/* Reads columns x rows pixels starting at (column, row) of the layer into the
 * top left of pixelRect, converting to its pixel type. The counts are clamped
 * to the rectangle's size and to the layer; a zero count returns at once.
 * Pixels outside the layer are left as they were. */
KRASTER_API int kimg_LayerRasterPixelRectGet(Kimg_Layer *layer, long column, long row, long columns,
                                             long rows, Kgda_BaseData *pixelRect,
                                             Kerr_ErrorReport **err);
/* The mirror image: writes the top left columns x rows pixels of pixelRect at
 * (column, row), clipped to the layer. */
KRASTER_API int kimg_LayerRasterPixelRectSet(Kimg_Layer *layer, long column, long row, long columns,
                                             long rows, const Kgda_BaseData *pixelRect,
                                             Kerr_ErrorReport **err);
/* ---- Rescale and convolution of reads ------------------------------------
 * kimg_LayerRead convolves, then rescales, what it reads (the layer's
 * options 20 and 13); writes and kimg_LayerRasterPixelRectGet do neither.
 * A convolution is a kernel of odd width and height (1 to 63) of weights in
 * row order: each pixel becomes the weighted sum of the window's pixels
 * around it; taps outside the window are left out and the sum scaled by
 * (sum of all weights) / (sum of the weights inside) when both are not 0.
 * A rescale maps each value v: KIMG_RESCALE_LINEAR to v x a + b,
 * KIMG_RESCALE_RANGE the range [a, b] linearly onto [0, 255]. Results are
 * stored in the rectangle's type with the saturation of the pixel
 * conversion. Complex pixel rectangles are refused ("Pixel type %ld not
 * supported on rescale", "Convolution not supported on %ld pixel types"),
 * and so is an unknown rescale type ("Rescale type %ld not supported"). */
#define KIMG_RESCALE_LINEAR 0
#define KIMG_RESCALE_RANGE 1
typedef struct Kimg_RescaleInfo {
    int32_t type;
    double a, b;
} Kimg_RescaleInfo;
typedef struct Kimg_ConvolveInfo {
    int32_t width, height;
    double *weights; /* width x height, row by row */
} Kimg_ConvolveInfo;
KRASTER_API Kimg_RescaleInfo *kimg_RescaleInfoCreate(int32_t type, double a, double b,
                                                     Kerr_ErrorReport **err);
KRASTER_API void kimg_RescaleInfoDelete(Kimg_RescaleInfo *rescale);
/* Copies the weights. */
KRASTER_API Kimg_ConvolveInfo *kimg_ConvolveInfoCreate(int32_t width, int32_t height,
                                                       const double *weights,
                                                       Kerr_ErrorReport **err);
KRASTER_API void kimg_ConvolveInfoDelete(Kimg_ConvolveInfo *convolution);

/* Read and write through the window: (column, row) relative to its top left
 * corner, clipped to it; width and height at least 1. */
KRASTER_API int kimg_LayerRead(Kimg_Layer *layer, long column, long row, long width, long height,
                               Kgda_BaseData *pixelRect, Kerr_ErrorReport **err);
KRASTER_API int kimg_LayerWrite(Kimg_Layer *layer, long column, long row, long width, long height,
                                const Kgda_BaseData *pixelRect, Kerr_ErrorReport **err);
/* Read-ahead hint for a rectangle of pixels (and its withdrawal), passed to
 * the plug-in when it takes hints; otherwise nothing happens. */
KRASTER_API int kimg_LayerReadInitiate(Kimg_Layer *layer, long column, long row, long columns,
                                       long rows, Kerr_ErrorReport **err);
KRASTER_API int kimg_LayerReadCancel(Kimg_Layer *layer, long column, long row, long columns,
                                     long rows, Kerr_ErrorReport **err);
/* Writes the changed blocks to the plug-in. */
KRASTER_API int kimg_LayerRasterFlush(Kimg_Layer *layer, Kerr_ErrorReport **err);
/* Last modification of the raster (seconds since 1970) as the format tells
 * it; 0 when it does not. */
KRASTER_API int kimg_LayerGetTimeStamp(Kimg_Layer *layer, int64_t *modTime, Kerr_ErrorReport **err);

/* Stacks: the layers of a stack read one pixel rectangle each. */
typedef struct Kimg_LayerStack {
    long count;
    Kimg_Layer **layers;
} Kimg_LayerStack;

/* Opens every layer of a comma-separated layer-name list (or of the layer
 * names of a file given alone). On failure the layers already open are
 * closed. */
KRASTER_API Kimg_LayerStack *kimg_LayerStackOpen(const char *layerNames,
                                                 Kint_InitToolkitData *toolkit,
                                                 Kerr_ErrorReport **err, ...);
KRASTER_API int kimg_LayerStackClose(Kimg_LayerStack *stack, Kerr_ErrorReport **err);
KRASTER_API int kimg_LayerStackChangeOptions(Kimg_LayerStack *stack, Kerr_ErrorReport **err, ...);
/* One rectangle per layer (the stack of rectangles has as many layers). */
KRASTER_API int kimg_LayerStackRasterPixelRectStackGet(Kimg_LayerStack *stack, long column,
                                                       long row, long columns, long rows,
                                                       Kgda_BaseDataStack *rects,
                                                       Kerr_ErrorReport **err);
KRASTER_API int kimg_LayerStackRead(Kimg_LayerStack *stack, long column, long row, long width,
                                    long height, Kgda_BaseDataStack *rects, Kerr_ErrorReport **err);
KRASTER_API int kimg_LayerStackWrite(Kimg_LayerStack *stack, long column, long row, long width,
                                     long height, const Kgda_BaseDataStack *rects,
                                     Kerr_ErrorReport **err);

/* Neighbourhood processing. For each block of the first output layer (in
 * row order), `in` holds one rectangle per input layer covering the block
 * grown by kernelWidth / 2 columns and kernelHeight / 2 rows on every side
 * (pixels outside a layer hold its null value), `out` one rectangle per
 * output layer of the block's size, written to the output layers (clipped)
 * after the call; all of pixelType. (column, row) is the block's top left
 * pixel. A non-zero return stops the run (its report is passed on). */
typedef int (*Kimg_NeighborhoodFunction)(const Kgda_BaseDataStack *in, Kgda_BaseDataStack *out,
                                         long column, long row, void *clientData,
                                         Kerr_ErrorReport **err);
/* Layers of both stacks must have one size ("Layer sizes differ"); kernel
 * sizes odd, 1 to 1025. */
KRASTER_API int kimg_LayerStackApplyNeighborhoodFunction(Kimg_LayerStack *in, Kimg_LayerStack *out,
                                                         long kernelWidth, long kernelHeight,
                                                         int32_t pixelType,
                                                         Kimg_NeighborhoodFunction function,
                                                         void *clientData, Kerr_ErrorReport **err);
/* Functionals: each block of the first layer's grid (edge blocks cut to the
 * layer) read from every layer of the stack as pixelType and handed over. */
typedef int (*Kimg_FunctionalFunction)(const Kgda_BaseDataStack *in, long column, long row,
                                       void *clientData, Kerr_ErrorReport **err);
KRASTER_API int kimg_LayerStackApplyFunctional(Kimg_LayerStack *in, int32_t pixelType,
                                               Kimg_FunctionalFunction function, void *clientData,
                                               Kerr_ErrorReport **err);

/* Several stacks at once (the inputs of the stack-array functions below). */
typedef struct Kimg_LayerStackArray {
    long count;
    Kimg_LayerStack **stacks;
} Kimg_LayerStackArray;

/* A stack of count empty slots (layers NULL, count 1 to 65536) and an array
 * of count empty stacks; the deletes free the structures only, not the
 * layers or stacks in them. */
KRASTER_API Kimg_LayerStack *kimg_LayerStackStructureCreate(long count, Kerr_ErrorReport **err);
KRASTER_API void kimg_LayerStackStructureDelete(Kimg_LayerStack *stack);
KRASTER_API Kimg_LayerStackArray *kimg_LayerStackArrayStructureCreate(long count,
                                                                      Kerr_ErrorReport **err);
KRASTER_API void kimg_LayerStackArrayStructureDelete(Kimg_LayerStackArray *array);

/* Creates a layer for every name of a layer-name list ("file(:a,:b)"), all
 * of one type and size, with the options of kimg_LayerCreate. On failure the
 * layers already made are closed and removed. */
KRASTER_API Kimg_LayerStack *kimg_LayerStackCreate(const char *layerNames, int32_t layerType,
                                                   int32_t pixelType, long width, long height,
                                                   Kint_InitToolkitData *toolkit,
                                                   Kerr_ErrorReport **err, ...);

/* Neighbourhood functions over an array of input stacks: as above, with
 * `in` holding one stack of grown rectangles per input stack (stacks[k] has
 * as many layers as input stack k). Every input layer has the output's size.
 * The run may be driven block by block: BlockInit checks the arguments and
 * prepares the rectangles, each Block call does the next block in row
 * order (1 when it did one, 0 when none was left, -1 on failure), and
 * BlockFinish frees the run (NULL accepted). */
typedef int (*Kimg_StackArrayNeighborhoodFunction)(const Kgda_BaseDataStackArray *in,
                                                   Kgda_BaseDataStack *out, long column, long row,
                                                   void *clientData, Kerr_ErrorReport **err);
typedef struct Kimg_NeighborhoodRun Kimg_NeighborhoodRun;
KRASTER_API Kimg_NeighborhoodRun *kimg_LayerStackArrayApplyNeighborhoodFunctionBlockInit(
    Kimg_LayerStackArray *in, Kimg_LayerStack *out, long kernelWidth, long kernelHeight,
    int32_t pixelType, Kimg_StackArrayNeighborhoodFunction function, void *clientData,
    Kerr_ErrorReport **err);
KRASTER_API int kimg_LayerStackArrayApplyNeighborhoodFunctionBlock(Kimg_NeighborhoodRun *run,
                                                                   Kerr_ErrorReport **err);
KRASTER_API void kimg_LayerStackArrayApplyNeighborhoodFunctionBlockFinish(
    Kimg_NeighborhoodRun *run);
KRASTER_API int kimg_LayerStackArrayApplyNeighborhoodFunction(
    Kimg_LayerStackArray *in, Kimg_LayerStack *out, long kernelWidth, long kernelHeight,
    int32_t pixelType, Kimg_StackArrayNeighborhoodFunction function, void *clientData,
    Kerr_ErrorReport **err);
/* Functionals over an array of stacks: each block of the grid of the first
 * layer of the first stack, read from every layer of every stack. */
typedef int (*Kimg_StackArrayFunctionalFunction)(const Kgda_BaseDataStackArray *in, long column,
                                                 long row, void *clientData,
                                                 Kerr_ErrorReport **err);
KRASTER_API int kimg_LayerStackArrayApplyFunctional(Kimg_LayerStackArray *in, int32_t pixelType,
                                                    Kimg_StackArrayFunctionalFunction function,
                                                    void *clientData, Kerr_ErrorReport **err);

/* The image chip of the layers of an open stack, chosen and sampled as
 * kimg_FileImageChipGet does (never stored). */
KRASTER_API Kgda_BaseDataStack *kimg_LayerStackImageChipGet(Kimg_LayerStack *stack, long maxSize,
                                                            Kerr_ErrorReport **err);

/* ---- Transactions --------------------------------------------------------
 * With undo levels set (KIMG_LAYER_OPTION_UNDO_LEVELS), writes between Start
 * and End form one transaction that Undo takes back (levels > 0) or redoes
 * (levels < 0). Undo returns 0, the number of transactions that can be
 * undone when asked for more ("Cannot undo %ld"), or -1. */
KRASTER_API int kimg_LayerRasterTransactionStart(Kimg_Layer *layer, Kerr_ErrorReport **err);
KRASTER_API int kimg_LayerRasterTransactionEnd(Kimg_Layer *layer, Kerr_ErrorReport **err);
KRASTER_API long kimg_LayerRasterTransactionUndo(Kimg_Layer *layer, long levels,
                                                 Kerr_ErrorReport **err);
KRASTER_API int kimg_LayerRasterTransactionCommitAll(Kimg_Layer *layer, Kerr_ErrorReport **err);

/* ---- Null value ------------------------------------------------------------- */

/* The handle's null value as a new 1 x 1 BaseData of the layer's pixel type
 * (0 when the format stores none). */
KRASTER_API Kgda_BaseData *kimg_LayerRasterNullValueGet(Kimg_Layer *layer, Kerr_ErrorReport **err);
/* The same as a double in *value (the magnitude for complex types). */
KRASTER_API int kimg_LayerRasterNullValueGetS(Kimg_Layer *layer, double *value,
                                              Kerr_ErrorReport **err);
/* Changes the handle's null value (a 1 x 1 BaseData of the layer's type;
 * another type: "Datatype mismatch"). */
KRASTER_API int kimg_LayerRasterNullValueSet(Kimg_Layer *layer, const Kgda_BaseData *value,
                                             Kerr_ErrorReport **err);
/* Reads the stored null value into the handle (a new 1 x 1 BaseData, NULL
 * without a report when the format stores none) and writes the given one to
 * the format, flushing the cache first. */
KRASTER_API Kgda_BaseData *kimg_LayerRasterNullValueRead(Kimg_Layer *layer, Kerr_ErrorReport **err);
KRASTER_API int kimg_LayerRasterNullValueWrite(Kimg_Layer *layer, const Kgda_BaseData *value,
                                               Kerr_ErrorReport **err);

/* ---- Management ------------------------------------------------------------ */

/* Splits a layer name into its file name and node path (heap strings; either
 * pointer may be NULL). */
KRASTER_API int kimg_LayerNameParse(const char *layerName, char **fileName, char **nodePath,
                                    Kerr_ErrorReport **err);
/* "file(:node)" and "file(title:node)" (heap strings); nodePath is a full
 * node path. */
KRASTER_API char *kimg_LayerNameCreate(const char *fileName, const char *nodePath,
                                       Kerr_ErrorReport **err);
KRASTER_API char *kimg_LayerNameCreateWithTitle(const char *fileName, const char *title,
                                                const char *nodePath, Kerr_ErrorReport **err);
/* The full names of the layers of a file, in the file's order (heap array of
 * heap strings: free each, then the array). */
KRASTER_API int kimg_LayerGetNames(const char *fileName, long *count, char ***layerNames,
                                   Kerr_ErrorReport **err);
/* The same without the file's pyramid levels (layers named like the
 * level "<node>_ss_<magnification>_" of another layer of the file). */
KRASTER_API int kimg_FileNameGetOriginalLayerNames(const char *fileName, long *count,
                                                   char ***layerNames, Kerr_ErrorReport **err);
/* What every layer of a file is: one entry per layer in the file's order,
 * each layer opened read-only in turn. Free with kimg_LayerTableFree. */
typedef struct Kimg_LayerTableEntry {
    char *name; /* full layer name */
    Kimg_LayerInfo info;
} Kimg_LayerTableEntry;
KRASTER_API int kimg_LayerTable(const char *fileName, long *count, Kimg_LayerTableEntry **table,
                                Kerr_ErrorReport **err);
KRASTER_API void kimg_LayerTableFree(long count, Kimg_LayerTableEntry *table);
/* The format title of the layer's file, and the format's file extension
 * (the file's own when the format declares none); owned by the library. */
KRASTER_API const char *kimg_LayerGetTitle(const Kimg_Layer *layer);
KRASTER_API const char *kimg_LayerGetExt(const Kimg_Layer *layer);
/* 1 when the layer type can be changed to layerType (the format writes layer
 * types, lists that one, it suits the pixel type, the layer is writable). */
KRASTER_API int kimg_LayerLayerTypeIsChangeable(const Kimg_Layer *layer, int32_t layerType);
/* Changes it ("Layer %s cannot be changed to type %d!" when not possible). */
KRASTER_API int kimg_LayerLayerTypeChange(Kimg_Layer *layer, int32_t layerType,
                                          Kerr_ErrorReport **err);
/* Copies a layer to a new layer (in the same or another file) with the same
 * types, size, block size and compression, raster block by block, then its
 * stored null value. The options are those of kimg_LayerCreate for the
 * destination (a meter of KIMG_LAYER_OPTION_METER is told "Copying raster"
 * and may stop the copy: "User abort"). A failed copy removes the
 * destination layer. */
KRASTER_API int kimg_LayerCopyVAPtr(const char *source, const char *destination,
                                    Kint_InitToolkitData *toolkit, Kerr_ErrorReport **err,
                                    const intptr_t *options);
KRASTER_API int kimg_LayerCopy(const char *source, const char *destination,
                               Kint_InitToolkitData *toolkit, Kerr_ErrorReport **err, ...);
/* Copies every layer of a layer-name list ("file(:a,:b)"; a file alone
 * names all its layers) into destinationFile under the same node paths, as
 * kimg_LayerCopy does; on failure the copies made are removed. */
KRASTER_API int kimg_LayerStackCopyVAPtr(const char *sourceNames, const char *destinationFile,
                                         Kint_InitToolkitData *toolkit, Kerr_ErrorReport **err,
                                         const intptr_t *options);
KRASTER_API int kimg_LayerStackCopy(const char *sourceNames, const char *destinationFile,
                                    Kint_InitToolkitData *toolkit, Kerr_ErrorReport **err, ...);
/* Removes a layer from its file ("File %s cannot be opened for update",
 * "Failure removing layer %s"). The layer must not be open. */
KRASTER_API int kimg_LayerRemove(const char *layerName, Kint_InitToolkitData *toolkit,
                                 Kerr_ErrorReport **err);
/* Gives a layer a new name ("Name change of %s to %s failed"): copied under
 * the new name, then removed under the old one. */
KRASTER_API int kimg_LayerChangeName(const char *oldName, const char *newName,
                                     Kint_InitToolkitData *toolkit, Kerr_ErrorReport **err);

/* ---- Pyramid layers -------------------------------------------------------
 * Level k (k = 1, 2, ...) of a layer w x h has magnification 2^k; while the
 * previous level (the layer itself for k = 1) is at least 64 x 64, level k
 * has the size trunc((w' - 2) / fx) x trunc((h' - 2) / fy) of the previous
 * w' x h', with fx = fy = 2 except for level 1 when pixel sizes sx, sy are
 * known (KIMG_LAYER_OPTION_RRD_PIXEL_SIZE): fx = 2 sqrt(sx / sy), fy =
 * 2 sqrt(sy / sx), so that level 1 has square pixels. Its node path is the
 * layer's followed by "_ss_<magnification>_". Destination pixel (r, c) of a
 * level is computed from the previous level's pixels around (c fx, r fy) by
 * a "ResampleMethods" plug-in (kirf.h): "MIRAVEN Nearest Neighbor
 * Resampling" for thematic layers, else "MIRAVEN 2X2 Resampling" or
 * "MIRAVEN 4X4 Resampling" as KIMG_LAYER_OPTION_RRD_KERNEL or the preference
 * filepref.subsampling_kernel says (the option may also name any method
 * title). Levels live in the image file, or from level
 * filepref.initial_rrd_layer_number on in the ".rrd" file beside it when
 * KIMG_LAYER_OPTION_RRD_EXTERNAL or filepref.rrd_external says so; the
 * plug-in keeps their names (LayerRRDLayerNamesSet): a level in the image
 * file by its node path, one in the ".rrd" file as "<file>.rrd(:node)".
 * The methods "MIRAVEN 2X2 Resampling with prior Rescale to 8-bit" and
 * "MIRAVEN 4X4 Resampling with prior Rescale to 8-bit" make levels of u8:
 * level 1 maps the layer's minimum .. maximum linearly onto 0 .. 255
 * (v' = (v - min) 255 / (max - min), clamped; all 0 when max = min) before
 * the 2X2 or 4X4 average, taking the range from the stored statistics
 * when they are not older than the raster, else from statistics computed
 * (and stored) first ("Statistics for the 8-bit rescale failed"); each
 * later level is the plain 2X2 or 4X4 average of the 8-bit level before. */

/* The default full names and magnifications of a layer's levels (heap
 * arrays; magnifications may be NULL). */
KRASTER_API int kimg_SSLayerComputeAllDefaultNames(Kimg_Layer *layer, long *count, char ***names,
                                                   long **magnifications, Kerr_ErrorReport **err);
/* Computes all levels anew (replacing the old ones); a meter of
 * KIMG_LAYER_OPTION_METER is told "Computing pyramid layers". A failure
 * leaves no level behind. */
KRASTER_API int kimg_LayerRRDCompute(Kimg_Layer *layer, Kerr_ErrorReport **err);
/* The level names as the plug-in keeps them (cached in the handle until
 * kimg_SSLayerNamesUncache), and storing them. */
KRASTER_API int kimg_SSLayerNamesGet(Kimg_Layer *layer, long *count, char ***names,
                                     Kerr_ErrorReport **err);
KRASTER_API int kimg_SSLayerNamesSet(Kimg_Layer *layer, long count, const char *const *names,
                                     Kerr_ErrorReport **err);
KRASTER_API void kimg_SSLayerNamesUncache(Kimg_Layer *layer);
/* The full layer names and the magnifications of the stored levels. */
KRASTER_API int kimg_SSLayerGetNames(Kimg_Layer *layer, long *count, char ***names,
                                     Kerr_ErrorReport **err);
KRASTER_API int kimg_SSLayerGetMags(Kimg_Layer *layer, long *count, long **magnifications,
                                    Kerr_ErrorReport **err);
/* 1 when every default level is stored with its size, 0 when not, -1 on
 * error. */
KRASTER_API int kimg_SSLayerValid(Kimg_Layer *layer, Kerr_ErrorReport **err);
/* Removes the stored levels and their names. */
KRASTER_API int kimg_SSLayerRemove(Kimg_Layer *layer, Kerr_ErrorReport **err);

/* ---- Georeferencing of a layer ---------------------------------------------------
 * The map information ("Map_Info") and projection parameters ("Projection"
 * with its child "Datum") of a layer (kprj.h). They go through the plug-in's
 * map entries when it has them (a format with its own georeferencing), else
 * they are auxiliary objects below the layer's node, in the image file or its
 * ".aux" support file. Reads return NULL without a report when the layer has
 * none; the caller frees a record with kprj_MapInfoFree or
 * kprj_ProParametersFree. Writes replace what is there. */

KRASTER_API Kprj_MapInfo *kimg_LayerMapInformationRead(Kimg_Layer *layer, Kerr_ErrorReport **err);
KRASTER_API int kimg_LayerMapInformationWrite(Kimg_Layer *layer, const Kprj_MapInfo *mapInfo,
                                              Kerr_ErrorReport **err);
KRASTER_API Kprj_ProParameters *kimg_LayerMapProjectionRead(Kimg_Layer *layer,
                                                            Kerr_ErrorReport **err);
KRASTER_API int kimg_LayerMapProjectionWrite(Kimg_Layer *layer,
                                             const Kprj_ProParameters *proParameters,
                                             Kerr_ErrorReport **err);
/* Both records at once (either address may be NULL): 1 when the layer has
 * map information, 0 when not (*mapInfo NULL), -1 with a report. The
 * projection is read only when map information exists. */
KRASTER_API int kimg_LayerMapInfoGet(Kimg_Layer *layer, Kprj_MapInfo **mapInfo,
                                     Kprj_ProParameters **proParameters, Kerr_ErrorReport **err);
/* The same by layer name "file(:node)": the layer is opened (for update to
 * write) and closed again. */
KRASTER_API Kprj_MapInfo *kimg_MapInfoRead(const char *layerName, Kerr_ErrorReport **err);
KRASTER_API int kimg_MapInfoWrite(const char *layerName, const Kprj_MapInfo *mapInfo,
                                  Kerr_ErrorReport **err);
KRASTER_API Kprj_ProParameters *kimg_ProParametersRead(const char *layerName,
                                                       Kerr_ErrorReport **err);
KRASTER_API int kimg_ProParametersWrite(const char *layerName,
                                        const Kprj_ProParameters *proParameters,
                                        Kerr_ErrorReport **err);
/* The map coordinates of the outer corners of the layer (the pixel edges,
 * from its size and map information): 1, or 0 without map information. */
KRASTER_API int kimg_LayerMapExtentCompute(Kimg_Layer *layer, Kprj_Coordinate *upperLeft,
                                           Kprj_Coordinate *lowerRight, Kerr_ErrorReport **err);
/* The pixel size in map units: 1, or 0 without map information. */
KRASTER_API int kimg_LayerNominalPixelSizeGet(Kimg_Layer *layer, double *width, double *height,
                                              Kerr_ErrorReport **err);
/* The smallest and largest map x and y the layer's pixels cover: 1, or 0
 * without map information. */
KRASTER_API int kimg_LayerMapBoundingBoxGet(Kimg_Layer *layer, double *minX, double *minY,
                                            double *maxX, double *maxY, Kerr_ErrorReport **err);

/* ---- Descriptor tables -------------------------------------------------------
 * A layer's table is the node tableName (NULL: "Descriptor_Table") below the
 * layer. A format whose plug-in keeps the columns "Histogram", "Contrast",
 * "Class_Names", "Red", "Green", "Blue", "Opacity" itself (its
 * Layer<Column>Read entries, kimgrf.h; colours as a table of rows x 3 reals)
 * is reached through the method set "kimg_DSC": only those columns exist,
 * and the table's row count and bin function are auxiliary objects of the
 * file (kimg_FileDataWrite). Any other layer keeps its tables in an HFA file
 * (method set "kdsc_HFA", kdsc.h): the image file when it is one, else the
 * support file (".aux" unless changed) beside it, created when a table is
 * first made. Tables are closed with kdsc_TableClose before the layer. */

/* 1 when a layer type allows a bin-function type (Kdsc_BinFunctionType, -1
 * for none, always allowed): thematic only direct, athematic every type, fft
 * the four stored types; other layer types none. Else 0. */
KRASTER_API int kimg_LayerTypeSupportsBinFunction(int32_t layerType, int32_t binFunctionType);
/* Creates the layer's table; a bin function the layer type does not allow
 * is refused ("Bin function type '%s' is not supported by layer type
 * '%s'"), and so is a read-only layer. See kdsc_TableCreate for rows and
 * bin functions. */
KRASTER_API Kdsc_Table *kimg_TableCreate(Kimg_Layer *layer, const char *tableName, int32_t numRows,
                                         const Kdsc_BinFunction *binFunction,
                                         Kerr_ErrorReport **err);
/* Opens the layer's table. When its bin function's type is not allowed for
 * the layer type, a warning says so and the layer handle is treated as
 * athematic from then on. Columns of a table of a read-only layer cannot be
 * removed ("Cannot destroy column %s; it is read-only"). */
KRASTER_API Kdsc_Table *kimg_TableOpen(Kimg_Layer *layer, const char *tableName,
                                       Kerr_ErrorReport **err);
/* Removes the table with its columns ("Could not remove table; layer is
 * opened read-only"). */
KRASTER_API int kimg_TableRemove(Kimg_Layer *layer, const char *tableName, Kerr_ErrorReport **err);
/* The column names of the layer's table, and the names of the layer's
 * tables (new lists; kstr_StringListFree). */
KRASTER_API Kstr_StringList *kimg_TableListColumns(Kimg_Layer *layer, const char *tableName,
                                                   Kerr_ErrorReport **err);
KRASTER_API Kstr_StringList *kimg_LayerListTables(Kimg_Layer *layer, Kerr_ErrorReport **err);

/* ---- Statistics and histograms ----------------------------------------------
 * Statistics of a layer (ksta.h) are its "Statistics" object, through the
 * plug-in's LayerScalarStatisticsRead/Write when it has them, else below the
 * layer's node in the image file or its ".aux" support file; the histogram
 * is the "Histogram" column of its "Descriptor_Table"; the parameters they
 * were computed with are "StatisticsParameters" and "HistogramParameters".
 * The covariance of a file's layers is "Covariance" at its root with
 * "CovarianceParameters" naming the layers. Writes refuse read-only layers
 * ("Layer %s is read-only"). Reads of missing objects fail with "No
 * statistics info found", "No histogram found", "No covariance info found";
 * parameter reads give NULL without a report when there are none.
 *
 * COMPUTING. Pixels are sampled every skip x columns and skip y rows from
 * the top left. Excluded are the handle's excluded values
 * (KIMG_LAYER_OPTION_EXCLUDED_VALUES ...) and its null value when the format
 * stores one or it was set on the handle. Without a bin function the
 * histogram follows the exact-value rules of ksta.h, with room for 512
 * values or the bin count of the bin function of the layer's stored
 * histogram parameters. The meter of KIMG_LAYER_OPTION_METER (of the first
 * layer of a stack) is told "Computing statistics" and may stop the work
 * ("User aborted function"). The layer is read in bands of one block row. */

/* Skip factors for statistics: explicit ones (KIMG_LAYER_OPTION_SKIP_FACTORS)
 * as given; 1 and 1 for thematic and fft layers; else, from the preferences
 * filepref.continuous_stats_percent p and continuous_stats_min_pixels m:
 * total = w h, target = min(max(total p / 100, m), total), s = trunc(sqrt(
 * total / target)) (1 below 2), both factors s, and y = s + 1 when the
 * percentage set the target and 100 / ((s + 1) s) >= p. */
KRASTER_API int kimg_LayerDetermineStatisticsSkip(Kimg_Layer *layer, long *skipX, long *skipY,
                                                  Kerr_ErrorReport **err);
/* The engine: fills allStats (one accumulator per layer, initialised here;
 * covariance when it was created with it) from the stack's layers, with a
 * histogram of binFunction (NULL: the rules above) and each layer's skip
 * factors (those of the first layer when a covariance is wanted). */
KRASTER_API int kimg_LayerStackAllStatsStackComputeWithBinfunc(Kimg_LayerStack *stack,
                                                               Ksta_AllStatsStack *allStats,
                                                               const Kdsc_BinFunction *binFunction,
                                                               Kerr_ErrorReport **err);
KRASTER_API int kimg_LayerStackAllStatsStackCompute(Kimg_LayerStack *stack,
                                                    Ksta_AllStatsStack *allStats,
                                                    Kerr_ErrorReport **err);
/* A new accumulator stack computed from the layers (with covariance when
 * asked); nothing is written. */
KRASTER_API Ksta_AllStatsStack *kimg_LayerStackComputeAllStatsStack(
    Kimg_LayerStack *stack, const Kdsc_BinFunction *binFunction, int withCovariance,
    Kerr_ErrorReport **err);
/* Computes the statistics and histogram of a layer and, when it is
 * writable, writes them with their parameters. allStats (may be NULL; made
 * with ksta_AllStatsCreate) receives the result: pixel count, statistics
 * and, in place of its own, the histogram (NULL when there is none). */
KRASTER_API int kimg_LayerComputeStatistics(Kimg_Layer *layer, Ksta_AllStats *allStats,
                                            Kerr_ErrorReport **err);
/* The same for every layer of a stack, then the covariance of the stack's
 * file when its layers are of one file and size, it is writable and the
 * stack has fewer than filepref.hyperspectral_layer_minimum layers. */
KRASTER_API int kimg_LayerStackComputeStatistics(Kimg_LayerStack *stack, Kerr_ErrorReport **err);
/* Computes the histogram of a layer with binFunction (NULL: the rules
 * above), writes it with its parameters when the layer is writable, and
 * returns it (ksta_HistogramDelete). */
KRASTER_API Ksta_Histogram *kimg_LayerComputeHistogram(Kimg_Layer *layer,
                                                       const Kdsc_BinFunction *binFunction,
                                                       Kerr_ErrorReport **err);

/* Stored objects of a layer. */
KRASTER_API Ksta_Statistics *kimg_StatisticsRead(Kimg_Layer *layer, Kerr_ErrorReport **err);
KRASTER_API int kimg_StatisticsWrite(Kimg_Layer *layer, const Ksta_Statistics *statistics,
                                     Kerr_ErrorReport **err);
/* Time of the stored statistics (seconds since 1970; that of the raster
 * when the format keeps them); compare with kimg_LayerGetTimeStamp. */
KRASTER_API int kimg_StatisticsGetTimeStamp(Kimg_Layer *layer, int64_t *modTime,
                                            Kerr_ErrorReport **err);
/* 1 when values were excluded from the stored statistics ("Excluded_Values",
 * else the statistics parameters), *values (may be NULL) receiving them as a
 * new 1 x n f64 table; 0 when none; -1 on error. */
KRASTER_API int kimg_StatisticsAreValuesExcluded(Kimg_Layer *layer, Kgda_BaseData **values,
                                                 Kerr_ErrorReport **err);
/* 1 with the skip factors of the stored statistics ("Skip_Factors", else
 * the parameters), 0 when none are stored, -1 on error. */
KRASTER_API int kimg_StatisticsGetSkipFactors(Kimg_Layer *layer, long *skipX, long *skipY,
                                              Kerr_ErrorReport **err);
KRASTER_API Ksta_Histogram *kimg_HistogramRead(Kimg_Layer *layer, Kerr_ErrorReport **err);
KRASTER_API int kimg_HistogramWrite(Kimg_Layer *layer, const Ksta_Histogram *histogram,
                                    Kerr_ErrorReport **err);
KRASTER_API int kimg_HistogramGetTimeStamp(Kimg_Layer *layer, int64_t *modTime,
                                           Kerr_ErrorReport **err);
KRASTER_API int kimg_HistogramAreValuesExcluded(Kimg_Layer *layer, Kgda_BaseData **values,
                                                Kerr_ErrorReport **err);
/* Covariance of the file of a stack, checked against the stack: the matrix
 * must be count x count ("Covariance matrix dimension mismatch") and its
 * parameters must name the stack's layers in order ("Covariance matrix does
 * not match layer stack"). Layers of several files: "Layers of a stack are
 * not of one file". */
KRASTER_API Kgda_BaseData *kimg_CovarianceRead(Kimg_LayerStack *stack, Kerr_ErrorReport **err);
KRASTER_API int kimg_CovarianceWrite(Kimg_LayerStack *stack, const Kgda_BaseData *covariance,
                                     Kerr_ErrorReport **err);
KRASTER_API int kimg_CovarianceGetTimeStamp(Kimg_LayerStack *stack, int64_t *modTime,
                                            Kerr_ErrorReport **err);
KRASTER_API int kimg_CovarianceAreValuesExcluded(Kimg_LayerStack *stack, Kgda_BaseData **values,
                                                 Kerr_ErrorReport **err);
/* The covariance of a file by name, unchecked; writing it with the names
 * (node paths) of the layers it covers. */
KRASTER_API Kgda_BaseData *kimg_FileCovarianceRead(const char *fileName, Kerr_ErrorReport **err);
KRASTER_API int kimg_FileCovarianceWrite(const char *fileName, const Kgda_BaseData *covariance,
                                         long layerCount, const char *const *layerNodes,
                                         Kerr_ErrorReport **err);
/* Statistics and histogram together: read gives a new accumulator (its
 * pixelCount the histogram's total); write stores both (the histogram when
 * there is one). */
KRASTER_API Ksta_AllStats *kimg_AllStatsRead(Kimg_Layer *layer, Kerr_ErrorReport **err);
KRASTER_API int kimg_AllStatsWrite(Kimg_Layer *layer, const Ksta_AllStats *allStats,
                                   Kerr_ErrorReport **err);
KRASTER_API Ksta_AllStatsStack *kimg_AllStatsStackRead(Kimg_LayerStack *stack,
                                                       Kerr_ErrorReport **err);
/* Writes every layer's and, when present, the covariance. */
KRASTER_API int kimg_AllStatsStackWrite(Kimg_LayerStack *stack, const Ksta_AllStatsStack *allStats,
                                        Kerr_ErrorReport **err);

/* Parameters per node: read, write, time, removal and the node's full path
 * (heap string) of the statistics and histogram parameters of a layer and
 * the covariance parameters of a file. */
KRASTER_API Kimg_StatisticsParameters *kimg_LayerScalarStatisticsParametersRead(
    Kimg_Layer *layer, Kerr_ErrorReport **err);
KRASTER_API int kimg_LayerScalarStatisticsParametersWrite(
    Kimg_Layer *layer, const Kimg_StatisticsParameters *parameters, Kerr_ErrorReport **err);
KRASTER_API int kimg_LayerScalarStatisticsParametersModTimeGet(Kimg_Layer *layer, int64_t *modTime,
                                                               Kerr_ErrorReport **err);
KRASTER_API int kimg_LayerScalarStatisticsParametersDestroy(Kimg_Layer *layer,
                                                            Kerr_ErrorReport **err);
KRASTER_API char *kimg_LayerScalarStatisticsParametersNodeName(Kimg_Layer *layer,
                                                               Kerr_ErrorReport **err);
KRASTER_API Kimg_StatisticsParameters *kimg_LayerHistogramParametersRead(Kimg_Layer *layer,
                                                                         Kerr_ErrorReport **err);
KRASTER_API int kimg_LayerHistogramParametersWrite(Kimg_Layer *layer,
                                                   const Kimg_StatisticsParameters *parameters,
                                                   Kerr_ErrorReport **err);
KRASTER_API int kimg_LayerHistogramParametersModTimeGet(Kimg_Layer *layer, int64_t *modTime,
                                                        Kerr_ErrorReport **err);
KRASTER_API int kimg_LayerHistogramParametersDestroy(Kimg_Layer *layer, Kerr_ErrorReport **err);
KRASTER_API char *kimg_LayerHistogramParametersNodeName(Kimg_Layer *layer, Kerr_ErrorReport **err);
KRASTER_API Kimg_StatisticsParameters *kimg_FileCovarianceParametersRead(const char *fileName,
                                                                         Kerr_ErrorReport **err);
KRASTER_API int kimg_FileCovarianceParametersWrite(const char *fileName,
                                                   const Kimg_StatisticsParameters *parameters,
                                                   Kerr_ErrorReport **err);
KRASTER_API int kimg_FileCovarianceParametersModTimeGet(const char *fileName, int64_t *modTime,
                                                        Kerr_ErrorReport **err);
KRASTER_API int kimg_FileCovarianceParametersDestroy(const char *fileName, Kerr_ErrorReport **err);
KRASTER_API char *kimg_FileCovarianceParametersNodeName(const char *fileName,
                                                        Kerr_ErrorReport **err);

KRASTER_END_DECLS

#endif
