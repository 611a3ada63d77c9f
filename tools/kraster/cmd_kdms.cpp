// Demo section: the block cache over an in-memory source, with an edit made
// in a transaction, undone, redone and committed.
#include <kraster/kraster.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "tool.hpp"

namespace {

constexpr long kRecord = 12;
constexpr long kRecords = 5;

// The source: five text records of 12 bytes, with a log of its calls.
struct Blocks {
    char data[kRecords][kRecord];
    std::string calls;

    static int read(long index, void **out, void *client, Kerr_ErrorReport **) {
        auto *b = static_cast<Blocks *>(client);
        b->calls += " read(" + std::to_string(index) + ")";
        std::memcpy(*out, b->data[index], kRecord);
        return 0;
    }
    static int write(long index, const void *in, void *client, Kerr_ErrorReport **) {
        auto *b = static_cast<Blocks *>(client);
        b->calls += " write(" + std::to_string(index) + ")";
        std::memcpy(b->data[index], in, kRecord);
        return 0;
    }
    static int flush(int flags, long index, void *client, Kerr_ErrorReport **) {
        auto *b = static_cast<Blocks *>(client);
        b->calls += " flush(" + std::to_string(flags) + "," + std::to_string(index) + ")";
        return 0;
    }
    void showCalls(const char *what) {
        printf("  %-34s source:%s\n", what, calls.empty() ? " -" : calls.c_str());
        calls.clear();
    }
};

bool failed(int rc, Kerr_ErrorReport *err) {
    if (rc == 0) return false;
    kerr_PrintErrorReport(err, 0, 0);
    kerr_DeleteErrorReport(err);
    return true;
}

std::string record(Kdms_Cache *cache, long index) {
    char text[kRecord + 1] = {};
    void *p = text;
    Kerr_ErrorReport *err = nullptr;
    if (kdms_CacheRead(cache, index, &p, &err) != 0) {
        kerr_PrintErrorReport(err, 0, 0);
        kerr_DeleteErrorReport(err);
        return "?";
    }
    return text;
}

std::string records(Kdms_Cache *cache, long first, long second) {
    std::string s = record(cache, first);
    return s + " " + record(cache, second);
}

int demoCache() {
    Blocks blocks;
    const char *names[kRecords] = {"north", "east", "south", "west", "centre"};
    for (long i = 0; i < kRecords; ++i) {
        std::memset(blocks.data[i], 0, kRecord);
        std::snprintf(blocks.data[i], kRecord, "%s", names[i]);
    }
    Kerr_ErrorReport *err = nullptr;
    Kdms_Cache *cache = kdms_CacheCreate(
        kRecord, &err, KDMS_CO_PHYSICAL_RECORD_MAX, 2L, KDMS_CO_VIRTUAL_RECORD_MAX, kRecords,
        KDMS_CO_SOURCE_DATA, (void *)&blocks, KDMS_CO_SOURCE_READ_FUNC, Blocks::read,
        KDMS_CO_SOURCE_WRITE_FUNC, Blocks::write, KDMS_CO_SOURCE_FLUSH_FUNC, Blocks::flush,
        KDMS_CO_UNDO_LEVELS, 2L, (void *)nullptr, (Kdms_StashReadFunc) nullptr,
        (Kdms_StashWriteFunc) nullptr, 0);
    if (!cache) {
        failed(-1, err);
        return 1;
    }
    printf("cache of %ld records of %ld bytes, 2 slots, 2 undo levels\n", kRecords, kRecord);

    std::string seen;
    for (long i : {0L, 1L, 0L, 2L}) seen += " " + record(cache, i);
    blocks.showCalls(("read 0 1 0 2:" + seen).c_str());
    printf("  held now: 0 %s, 1 %s, 2 %s (1 was least recently used)\n",
           kdms_CacheIndexPresent(cache, 0) ? "yes" : "no",
           kdms_CacheIndexPresent(cache, 1) ? "yes" : "no",
           kdms_CacheIndexPresent(cache, 2) ? "yes" : "no");

    char edit[kRecord] = "flooded";
    if (failed(kdms_CacheTransactionStart(cache, &err), err)) return 1;
    if (failed(kdms_CacheWrite(cache, 2, edit, &err), err)) return 1;
    if (failed(kdms_CacheWrite(cache, 3, edit, &err), err)) return 1;
    if (failed(kdms_CacheTransactionEnd(cache, &err), err)) return 1;
    blocks.showCalls("transaction: 2, 3 := flooded");
    const std::string after = records(cache, 2, 3);
    blocks.showCalls(("read 2 3: " + after).c_str());

    long rc = kdms_CacheTransactionUndo(cache, 1, &err);
    if (failed(static_cast<int>(rc), err)) return 1;
    const std::string undone = records(cache, 2, 3);
    blocks.showCalls(("undo 1, read 2 3: " + undone).c_str());
    rc = kdms_CacheTransactionUndo(cache, 1, &err);
    blocks.showCalls(("undo 1 more: returns " + std::to_string(rc)).c_str());
    fflush(stdout);
    kerr_PrintErrorReport(err, 1, 0);
    kerr_DeleteErrorReport(err);
    err = nullptr;

    rc = kdms_CacheTransactionUndo(cache, -1, &err);
    if (failed(static_cast<int>(rc), err)) return 1;
    const std::string redone = records(cache, 2, 3);
    blocks.showCalls(("redo 1, read 2 3: " + redone).c_str());
    if (failed(kdms_CacheTransactionCommitAll(cache, &err), err)) return 1;
    blocks.showCalls("commit");
    if (failed(kdms_CacheDestroy(cache, &err), err)) return 1;
    blocks.showCalls("destroy");
    printf("  source now:");
    for (long i = 0; i < kRecords; ++i) printf(" %s", blocks.data[i]);
    printf("\n");
    return undone == "south west" && redone == "flooded flooded" ? 0 : 1;
}

tool::DemoRegistrar cacheSection(60, "block cache", demoCache);

}  // namespace
