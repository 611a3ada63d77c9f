/* Preference manager: typed preferences read and written by category and
 * name, served by a replaceable preference database (a table of methods).
 *
 * Reads take a default and never fail towards the caller's value: on any
 * failure the default comes back together with a report. Every operation that
 * reaches the database runs inside one use bracket of the current method
 * table, so installing a new table waits until no operation uses the old one.
 *
 * The library's own database (kprf.h) loads declarations from definition
 * files ("*.pdf") and keeps each user's values in the file "v8preference".
 * Category and preference names are compared ignoring case. */
#ifndef KRASTER_KPMG_H
#define KRASTER_KPMG_H

#include "kdefs.h"
#include "kerr.h"

KRASTER_BEGIN_DECLS

/* Preference types. */
#define KPMG_STRING 1
#define KPMG_NUMBER 2
#define KPMG_BOOLEAN 3
#define KPMG_ENUM 4
#define KPMG_COLOR 5

/* Database types (kpmg_GetDataBaseType). */
#define KPMG_DATABASE_LOCAL 1
#define KPMG_DATABASE_GLOBAL 2

/* A colour value: three integer components (red, green, blue). */
typedef struct Kpmg_Color {
    int32_t red;
    int32_t green;
    int32_t blue;
} Kpmg_Color;

/* A value record; which member counts follows the type code that travels
 * with it: `string` for KPMG_STRING and KPMG_ENUM (a heap string), `number`
 * for KPMG_NUMBER, `boolean` for KPMG_BOOLEAN, `color` for KPMG_COLOR. */
typedef struct Kpmg_Value {
    char *string;
    double number;
    int32_t boolean;
    Kpmg_Color color;
} Kpmg_Value;

/* The declaration of one preference, with its two value slots. */
typedef struct Kpmg_Preference {
    char *categoryName;      /* category name */
    char *preferenceName;    /* preference name */
    int32_t type;            /* KPMG_STRING ... KPMG_COLOR */
    int32_t maxLength;       /* strings: longest accepted value in bytes */
    int32_t maxLengthSet;    /* 1 when maxLength applies */
    int32_t expandFlag;      /* strings: environment variables of the default are expanded */
    double minimum;          /* numbers: smallest accepted value */
    int32_t minimumSet;      /* 1 when minimum applies */
    double maximum;          /* numbers: largest accepted value */
    int32_t maximumSet;      /* 1 when maximum applies */
    char *trueWord;          /* booleans: the word for true */
    char *falseWord;         /* booleans: the word for false */
    int32_t enumCount;       /* enumerations: number of allowed names */
    char **enumNames;        /* enumerations: the allowed names */
    Kpmg_Value defaultValue; /* the declared default */
    Kpmg_Value userValue;    /* the user's value */
    int32_t userInForce;     /* 1 when userValue is in force, 0 for defaultValue */
    char *definitionFile;    /* name of the file that declared it, or NULL */
} Kpmg_Preference;

/* A list of categories, each with its declared preferences. */
typedef struct Kpmg_Category {
    struct Kpmg_Category *next;
    char *name;
    int32_t count;
    Kpmg_Preference **preferences;
} Kpmg_Category;

/* Called with its client data when the preference's value changes. Runs
 * inside the thread-unsafe section. */
typedef void (*Kpmg_PreferenceCallback)(void *clientData);

/* ---- Method tables ----------------------------------------------------
 * A method table is given as a list of intptr_t pairs (code, value) ended
 * by a 0 code. Every method returns 0 on success, nonzero with a report. A
 * code that appears in the list counts as present even with a NULL value;
 * calling a NULL method fails at the call ("Missing prefGet" ...). */
#define KPMG_METHOD_DATA 1                /* value: the database's data word */
#define KPMG_METHOD_DATABASE_INITIALIZE 2 /* Kpmg_DatabaseMethod, before every use */
#define KPMG_METHOD_DATABASE_TERMINATE 3  /* Kpmg_DatabaseMethod */
#define KPMG_METHOD_DATABASE_FLUSH 4      /* Kpmg_DatabaseMethod */
#define KPMG_METHOD_PREFERENCE_ADD_CB 5   /* Kpmg_CallbackMethod */
#define KPMG_METHOD_PREFERENCE_REM_CB 6   /* Kpmg_CallbackMethod */
#define KPMG_METHOD_PREFERENCE_GET 7      /* Kpmg_GetMethod */
#define KPMG_METHOD_PREFERENCE_PUT 8      /* Kpmg_PutMethod */
/* Optional: a nonzero value declares the table thread-safe, so the manager
 * does not enter the thread-unsafe section around its methods. */
#define KPMG_METHOD_THREAD_SAFE 9

/* A PREFERENCE_GET request. The method sets `found` to 1 and fills `type`
 * and `value` when it knows the preference (a string value is a heap string
 * that then belongs to the request), or leaves `found` 0. */
typedef struct Kpmg_GetRequest {
    void *data;
    const char *category;
    const char *name;
    int32_t processId;
    int32_t found;
    int32_t type;
    Kpmg_Value value;
} Kpmg_GetRequest;

typedef int (*Kpmg_DatabaseMethod)(void *data, Kerr_ErrorReport **err);
typedef int (*Kpmg_CallbackMethod)(void *data, const char *category, const char *name,
                                   Kpmg_PreferenceCallback callback, void *clientData,
                                   Kerr_ErrorReport **err);
typedef int (*Kpmg_GetMethod)(Kpmg_GetRequest *request, Kerr_ErrorReport **err);
typedef int (*Kpmg_PutMethod)(void *data, const char *category, const char *name, int32_t type,
                              const Kpmg_Value *value, Kerr_ErrorReport **err);

/* The process-wide manager handle (opaque). */
typedef struct Kpmg_Handle Kpmg_Handle;

/* ---- Reads: the value, or the default (strings: a new heap string) ---- */
KRASTER_API char *kpmg_GetStringPreference(const char *category, const char *name,
                                           const char *defaultValue, Kerr_ErrorReport **err);
KRASTER_API double kpmg_GetNumberPreference(const char *category, const char *name,
                                            double defaultValue, Kerr_ErrorReport **err);
KRASTER_API int32_t kpmg_GetBooleanPreference(const char *category, const char *name,
                                              int32_t defaultValue, Kerr_ErrorReport **err);
KRASTER_API char *kpmg_GetEnumPreference(const char *category, const char *name,
                                         const char *defaultValue, Kerr_ErrorReport **err);
KRASTER_API Kpmg_Color kpmg_GetColorPreference(const char *category, const char *name,
                                               Kpmg_Color defaultValue, Kerr_ErrorReport **err);

/* ---- Writes: 0, or -1 with a report ----------------------------------- */
KRASTER_API int kpmg_PutStringPreference(const char *category, const char *name, const char *value,
                                         Kerr_ErrorReport **err);
KRASTER_API int kpmg_PutNumberPreference(const char *category, const char *name, double value,
                                         Kerr_ErrorReport **err);
KRASTER_API int kpmg_PutBooleanPreference(const char *category, const char *name, int32_t value,
                                          Kerr_ErrorReport **err);
KRASTER_API int kpmg_PutEnumPreference(const char *category, const char *name, const char *value,
                                       Kerr_ErrorReport **err);
KRASTER_API int kpmg_PutColorPreference(const char *category, const char *name, Kpmg_Color value,
                                        Kerr_ErrorReport **err);

/* Generic forms. kpmg_GetValue fills *value with the preference's value of
 * the given type, or a copy of *defaultValue (strings are new heap strings;
 * release them with kpmg_ValueClear); returns 0, or -1 when it made a report
 * (the default is returned then). kpmg_SetValue stores a value carrying the
 * given type; returns 0 or -1. */
KRASTER_API int kpmg_GetValue(const char *category, const char *name, int32_t type,
                              const Kpmg_Value *defaultValue, Kpmg_Value *value,
                              Kerr_ErrorReport **err);
KRASTER_API int kpmg_SetValue(const char *category, const char *name, int32_t type,
                              const Kpmg_Value *value, Kerr_ErrorReport **err);
/* Frees the string of a value record and zeroes it. */
KRASTER_API void kpmg_ValueClear(Kpmg_Value *value);

/* ---- Declarations ----------------------------------------------------- */
/* A copy of the declaration from the library's own database (free it with
 * kpmg_PreferenceFree); "Preference %s.%s not found" when there is none. */
KRASTER_API Kpmg_Preference *kpmg_LookupParameter(const char *category, const char *name,
                                                  Kerr_ErrorReport **err);
/* Deep copy, or NULL when memory runs out (or for NULL). */
KRASTER_API Kpmg_Preference *kpmg_PreferenceDup(const Kpmg_Preference *preference);
KRASTER_API void kpmg_PreferenceFree(Kpmg_Preference *preference);
/* Validates a value carrying `type` against the declaration and, when it
 * differs from the value in force, makes it the user's value in force.
 * Refused values give a printed warning and leave the value in force (result
 * 0); wrong types give an error (result -1). Numbers that are not finite are
 * refused. *changed (may be NULL) tells whether the value in force changed. */
KRASTER_API int kpmg_PreferenceSetValue(Kpmg_Preference *preference, int32_t type,
                                        const Kpmg_Value *value, int *changed,
                                        Kerr_ErrorReport **err);
/* The value in force as text: strings and names as they are, numbers with up
 * to 15 significant digits, booleans as their true or false word, colours as
 * "r,g,b"; a new heap string or NULL. */
KRASTER_API char *kpmg_PreferenceValueString(const Kpmg_Preference *preference);

/* ---- Callbacks -------------------------------------------------------- */
KRASTER_API int kpmg_AddPreferenceCallback(const char *category, const char *name,
                                           Kpmg_PreferenceCallback callback, void *clientData,
                                           Kerr_ErrorReport **err);
KRASTER_API int kpmg_RemovePreferenceCallback(const char *category, const char *name,
                                              Kpmg_PreferenceCallback callback, void *clientData,
                                              Kerr_ErrorReport **err);

/* ---- Life cycle ------------------------------------------------------- */
/* Makes the database ready (DATABASE_INITIALIZE) and returns the handle. */
KRASTER_API Kpmg_Handle *kpmg_Init(Kerr_ErrorReport **err);
/* The handle after a successful kpmg_Init, else NULL. */
KRASTER_API Kpmg_Handle *kpmg_GetGlobalPreferenceHandle(void);
/* Flushes the database (DATABASE_FLUSH), then ends it (DATABASE_TERMINATE);
 * a later use initialises it again. Returns 0, or -1 with a report (after a
 * failed flush the database is not ended). */
KRASTER_API int kpmg_Close(Kerr_ErrorReport **err);
/* Installs a method table (see above). Waits until no operation uses the
 * current table. Returns 0, or -1 with a report (the old table stays). Must
 * not be called from inside a preference operation or callback. */
KRASTER_API int kpmg_PreferenceImplementationMethodsSet(const intptr_t *methods,
                                                        Kerr_ErrorReport **err);
/* 1 (local) when ORVEL_PREFERENCE_DATABASE_TYPE is "local" (any case), else 2
 * (global). The first answer holds for the rest of the process. */
KRASTER_API int32_t kpmg_GetDataBaseType(void);
/* "v8preference". */
KRASTER_API const char *kpmg_GetPreferenceFileName(void);
/* Full path of the user's preference file, as a new heap string: the first
 * directory of the ORVEL_PREFERENCES_PATH search list (";"-separated) that
 * holds the file, else the first directory of that list; when the list is
 * empty, $XDG_CONFIG_HOME/kraster, else $HOME/.config/kraster. */
KRASTER_API char *kpmg_InitPreferenceFileName(Kerr_ErrorReport **err);
/* Starts a fresh change log of the library's database: values changed so
 * far count as saved. */
KRASTER_API void kpmg_InitPreferenceChangeLogging(void);
/* 1 when the library's database holds changed values not yet written. */
KRASTER_API int kpmg_PreferenceChangesUnsaved(void);

/* ---- Categories ------------------------------------------------------- */
/* The category of that name in the list, or NULL. */
KRASTER_API Kpmg_Category *kpmg_MatchCategory(Kpmg_Category *list, const char *name);
/* The preference of that name in the category, or NULL. */
KRASTER_API Kpmg_Preference *kpmg_MatchPreference(const Kpmg_Category *category, const char *name);
/* Appends to *list a deep copy of category `from` named `to` ("Nonexistent
 * category %s"; "Trouble copying %s to %s" when `to` exists or memory runs
 * out). Returns the new category or NULL. */
KRASTER_API Kpmg_Category *kpmg_CopyCategory(Kpmg_Category **list, const char *from, const char *to,
                                             Kerr_ErrorReport **err);
/* Unlinks and frees the category; 1 if it was there, else 0. */
KRASTER_API int kpmg_RemoveCategory(Kpmg_Category **list, const char *name);
KRASTER_API void kpmg_FreeCategoryList(Kpmg_Category *list);

/* ---- Definition files and user files ----------------------------------
 * The grammar of both is described in share/kraster/README-preferences.txt.
 * Parsing adds to *list; a definition text that fails to parse adds nothing
 * and reports "KPMG: Error return from klex_Parse!". */
/* Loads every "*.pdf" file of each directory of the ORVEL_PDF_PATH search
 * list, else of the library's data directory. A file that fails to parse is
 * reported (printed) and skipped. Returns the number of declarations added,
 * or -1 with a report. */
KRASTER_API int32_t kpmg_LoadPDFs(Kpmg_Category **list, Kerr_ErrorReport **err);
/* Parses one definition file; returns the number of declarations added or -1. */
KRASTER_API int32_t kpmg_Parse(const char *fileName, Kpmg_Category **list, Kerr_ErrorReport **err);
/* The same over text in memory (`sourceName` names it in messages). */
KRASTER_API int32_t kpmg_ParseText(const char *text, size_t length, const char *sourceName,
                                   Kpmg_Category **list, Kerr_ErrorReport **err);
/* Reads a user file and stores each entry through kpmg_PreferenceSetValue.
 * Unknown entries and refused values are reported as printed warnings.
 * Returns the number of entries read, or -1 with a report at the first
 * syntax error (entries before it stay stored). */
KRASTER_API int32_t kpmg_PrfParse(const char *fileName, Kpmg_Category *list,
                                  Kerr_ErrorReport **err);
KRASTER_API int32_t kpmg_PrfParseText(const char *text, size_t length, const char *sourceName,
                                      Kpmg_Category *list, Kerr_ErrorReport **err);
/* The user file's text for every preference whose user value is in force,
 * with the header naming `fileName`; a new heap string or NULL. */
KRASTER_API char *kpmg_PrfFormat(const Kpmg_Category *list, const char *fileName);

KRASTER_END_DECLS

#endif
