// Thread services over POSIX threads.
#include <kraster/kthr.h>

#include <mutex>

namespace {

pthread_mutex_t g_unsafe = PTHREAD_RECURSIVE_MUTEX_INITIALIZER_NP;

struct ModeCallbacks {
    Kthr_ModeCallback begin;
    Kthr_ModeCallback end;
};
constexpr int kMaxCallbacks = 32;
std::mutex g_modeMutex;
ModeCallbacks g_callbacks[kMaxCallbacks];
int g_callbackCount = 0;
int g_modeOn = 0;

// Keys are created through pthread_once; the key record itself carries the
// destructor, so creation goes through a small trampoline keyed by address.
thread_local Kthr_Key *t_creating = nullptr;
void createKey() {
    Kthr_Key *k = t_creating;
    pthread_key_create(&k->key, k->destructor);
}

}  // namespace

extern "C" {

KRASTER_API int kthr_MutexInit(Kthr_Mutex *mutex) {
    if (!mutex) return -1;
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    int rc = pthread_mutex_init(&mutex->mutex, &attr);
    pthread_mutexattr_destroy(&attr);
    return rc == 0 ? 0 : -1;
}

KRASTER_API void kthr_MutexDestroy(Kthr_Mutex *mutex) {
    if (mutex) pthread_mutex_destroy(&mutex->mutex);
}

KRASTER_API void kthr_MutexLock(Kthr_Mutex *mutex) {
    if (mutex) pthread_mutex_lock(&mutex->mutex);
}

KRASTER_API void kthr_MutexUnlock(Kthr_Mutex *mutex) {
    if (mutex) pthread_mutex_unlock(&mutex->mutex);
}

KRASTER_API int kthr_CondInit(Kthr_Cond *cond) {
    if (!cond) return -1;
    return pthread_cond_init(&cond->cond, nullptr) == 0 ? 0 : -1;
}

KRASTER_API void kthr_CondDestroy(Kthr_Cond *cond) {
    if (cond) pthread_cond_destroy(&cond->cond);
}

KRASTER_API void kthr_CondWait(Kthr_Cond *cond, Kthr_Mutex *mutex) {
    if (cond && mutex) pthread_cond_wait(&cond->cond, &mutex->mutex);
}

KRASTER_API void kthr_CondSignal(Kthr_Cond *cond) {
    if (cond) pthread_cond_signal(&cond->cond);
}

KRASTER_API void kthr_CondBroadcast(Kthr_Cond *cond) {
    if (cond) pthread_cond_broadcast(&cond->cond);
}

KRASTER_API void *kthr_KeyGet(Kthr_Key *key) {
    if (!key) return nullptr;
    t_creating = key;
    pthread_once(&key->once, createKey);
    return pthread_getspecific(key->key);
}

KRASTER_API int kthr_KeySet(Kthr_Key *key, void *value) {
    if (!key) return -1;
    t_creating = key;
    pthread_once(&key->once, createKey);
    return pthread_setspecific(key->key, value) == 0 ? 0 : -1;
}

KRASTER_API void kthr_ThreadUnsafeCodeEnter(int) {
    pthread_mutex_lock(&g_unsafe);
}

KRASTER_API void kthr_ThreadUnsafeCodeExit(void) {
    pthread_mutex_unlock(&g_unsafe);
}

KRASTER_API int kthr_RegisterThreadSafeModeCallbacks(Kthr_ModeCallback begin,
                                                     Kthr_ModeCallback end) {
    if (!begin || !end) return -1;
    std::lock_guard<std::mutex> lock(g_modeMutex);
    for (int i = 0; i < g_callbackCount; ++i)
        if (g_callbacks[i].begin == begin && g_callbacks[i].end == end) return 0;
    if (g_callbackCount == kMaxCallbacks) return -1;
    g_callbacks[g_callbackCount++] = {begin, end};
    // A module registering while the application is multi-threaded joins at once.
    if (g_modeOn) begin();
    return 0;
}

KRASTER_API void kthr_ThreadSafeModeBegin(void) {
    std::lock_guard<std::mutex> lock(g_modeMutex);
    if (g_modeOn++) return;
    for (int i = 0; i < g_callbackCount; ++i) g_callbacks[i].begin();
}

KRASTER_API void kthr_ThreadSafeModeEnd(void) {
    std::lock_guard<std::mutex> lock(g_modeMutex);
    if (g_modeOn == 0 || --g_modeOn) return;
    for (int i = g_callbackCount - 1; i >= 0; --i) g_callbacks[i].end();
}

KRASTER_API int kthr_ThreadSafeModeIsOn(void) {
    std::lock_guard<std::mutex> lock(g_modeMutex);
    return g_modeOn != 0;
}

}  // extern "C"
