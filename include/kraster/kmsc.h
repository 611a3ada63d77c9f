/* Memory services. All allocations are zero-filled, size 0 gives NULL and
 * freeing NULL is harmless. */
#ifndef KRASTER_KMSC_H
#define KRASTER_KMSC_H

#include "kdefs.h"
#include "kerr.h"

KRASTER_BEGIN_DECLS

KRASTER_API void *kmsc_HeapMalloc(size_t size);
KRASTER_API void *kmsc_HeapRealloc(void *pointer, size_t size);
KRASTER_API void kmsc_HeapFree(void *pointer);
KRASTER_API void kmsc_HeapFreeEx(void **pointer);
KRASTER_API void kmsc_FreeFunc(void *pointer);
KRASTER_API void kmsc_FreePtrFunc(void **pointer);
KRASTER_API void kmsc_MemCpy(void *destination, const void *source, size_t n);
KRASTER_API void *kmsc_MemMove(void *destination, const void *source, size_t n);
KRASTER_API void *kmsc_MemDup(const void *source, size_t n);
KRASTER_API void kmsc_MemSwab(void *buffer, size_t count, size_t size);
/* Converts count values between packed 1-, 2- or 4-bit units (first value in
 * the most significant bits) and one value per byte. Returns 0 on success,
 * nonzero after printing its own report. */
KRASTER_API int kmsc_MemRepack(void *destination, int destinationUnitBits,
                               int destinationPackageBits, const void *source, int sourceUnitBits,
                               int sourcePackageBits, size_t count);
KRASTER_API size_t kmsc_MemPageSizeGet(void);

/* The big heap takes requests of at least the page size while it has room
 * ("heap_size" of category "memory", in MB). */
KRASTER_API void kmsc_HeapBigInit(void);
KRASTER_API void kmsc_HeapBigExit(void);
KRASTER_API void kmsc_HeapInfo(void);
KRASTER_API void kmsc_HeapPrint(void);
KRASTER_API void kmsc_HeapInitThreadSafeMode(void);
KRASTER_API void kmsc_HeapEndThreadSafeMode(void);
/* 1 while the heap takes its mutex on every operation. */
KRASTER_API int kmsc_HeapThreadSafeModeGet(void);

/* Testing aid: after n more successful allocations every allocation fails
 * until the limit is reset; a negative n switches the limit off. Returns the
 * number of allocations made since the previous call. */
KRASTER_API long kmsc_HeapFailAfter(long n);
/* Testing aid: the nth allocation from now (1: the next one) fails and the
 * others succeed; 0 or a negative n switches it off. Returns the number of
 * allocations made since the previous call of this or kmsc_HeapFailAfter. */
KRASTER_API long kmsc_HeapFailNth(long n);
/* Testing aid: number of blocks allocated through this heap and not yet freed. */
KRASTER_API long kmsc_HeapLiveBlocks(void);

KRASTER_END_DECLS

#endif
