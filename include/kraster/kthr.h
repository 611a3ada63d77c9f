/* Thread services: recursive mutexes, condition variables, thread-specific
 * keys, the process-wide re-entrant thread-unsafe section and the
 * thread-safe-mode callbacks. */
#ifndef KRASTER_KTHR_H
#define KRASTER_KTHR_H

#include "kdefs.h"
#include <pthread.h>

KRASTER_BEGIN_DECLS

/* A recursive mutex; KTHR_MUTEX_INITIALIZER gives a statically initialised one. */
typedef struct Kthr_Mutex {
    pthread_mutex_t mutex;
} Kthr_Mutex;
#define KTHR_MUTEX_INITIALIZER \
    { PTHREAD_RECURSIVE_MUTEX_INITIALIZER_NP }

typedef struct Kthr_Cond {
    pthread_cond_t cond;
} Kthr_Cond;
#define KTHR_COND_INITIALIZER \
    { PTHREAD_COND_INITIALIZER }

/* A thread-specific key; KTHR_KEY_INITIALIZER gives one created on first use. */
typedef struct Kthr_Key {
    pthread_once_t once;
    pthread_key_t key;
    void (*destructor)(void *);
} Kthr_Key;
#define KTHR_KEY_INITIALIZER(destructor) \
    { PTHREAD_ONCE_INIT, 0, (destructor) }

typedef void (*Kthr_ModeCallback)(void);

KRASTER_API int kthr_MutexInit(Kthr_Mutex *mutex);
KRASTER_API void kthr_MutexDestroy(Kthr_Mutex *mutex);
KRASTER_API void kthr_MutexLock(Kthr_Mutex *mutex);
KRASTER_API void kthr_MutexUnlock(Kthr_Mutex *mutex);

KRASTER_API int kthr_CondInit(Kthr_Cond *cond);
KRASTER_API void kthr_CondDestroy(Kthr_Cond *cond);
/* Waits on cond; mutex must be held exactly once by the caller. */
KRASTER_API void kthr_CondWait(Kthr_Cond *cond, Kthr_Mutex *mutex);
KRASTER_API void kthr_CondSignal(Kthr_Cond *cond);
KRASTER_API void kthr_CondBroadcast(Kthr_Cond *cond);

/* Thread-specific values; the key is created on first use. */
KRASTER_API void *kthr_KeyGet(Kthr_Key *key);
KRASTER_API int kthr_KeySet(Kthr_Key *key, void *value);

/* The one process-wide re-entrant critical section. The argument of Enter is
 * reserved and must be 0. */
KRASTER_API void kthr_ThreadUnsafeCodeEnter(int reserved);
KRASTER_API void kthr_ThreadUnsafeCodeExit(void);

/* Modules register callbacks called when the application enters and leaves
 * multi-threaded operation (kthr_ThreadSafeModeBegin/End). Registering the
 * same pair twice has no further effect. Returns 0, or -1 when the table is
 * full or an argument is NULL. */
KRASTER_API int kthr_RegisterThreadSafeModeCallbacks(Kthr_ModeCallback begin,
                                                     Kthr_ModeCallback end);
KRASTER_API void kthr_ThreadSafeModeBegin(void);
KRASTER_API void kthr_ThreadSafeModeEnd(void);
/* 1 while the application is in multi-threaded operation. */
KRASTER_API int kthr_ThreadSafeModeIsOn(void);

KRASTER_END_DECLS

#endif
