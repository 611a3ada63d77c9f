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
 * failed copy leaves no destination. The options after err are int codes
 * ended by 0 (none is defined; each is reported and skipped). 0 or -1. */
KRASTER_API int kimg_FileCopy(const char *source, const char *destination, Kerr_ErrorReport **err,
                              ...);
/* A proxy file for fileName: the name normalised with its environment
 * variables evaluated, made into a file of the title "Unrestricted Access
 * Image" (same directory and base name, extension ".uai") through the
 * serving plug-in's UAIFileCreate. Returns the proxy's name (heap string). */
KRASTER_API char *kimg_FileProxyName(const char *fileName, Kerr_ErrorReport **err);

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
} Kimg_RFDescription;

/* Describes every usable plug-in, loading them all. *descriptions is a heap
 * array freed with kimg_RasterFormatsDescriptionFree. 0 or -1. */
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

KRASTER_END_DECLS

#endif
