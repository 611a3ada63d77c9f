// The file header and the dictionary stored in an HFA file: header
// rewrites, reading the dictionary text, writing it in place or moving it.
#include <kraster/khfa.h>
#include <kraster/kmsc.h>

#include <cstring>

#include "core/report.hpp"
#include "hfa/khfa_internal.hpp"
#include "hfa/khfa_records.hpp"

namespace kr::hfa {

namespace {

// Characters of the dictionary text for the decoder, at most `remaining`.
struct TextReader {
    Kfio_Fd *fd;
    int64_t remaining;
    int64_t consumed;
    Kerr_ErrorReport *failure;  // a failed read ends the text

    static int next(void *context) {
        auto *r = static_cast<TextReader *>(context);
        if (r->remaining <= 0 || r->failure) return -1;
        int c = kfio_Fgetc(r->fd, &r->failure);
        if (c < 0) return -1;
        --r->remaining;
        ++r->consumed;
        return c;
    }
};

}  // namespace

bool headerWrite(Khfa_File *file, Kerr_ErrorReport **err) {
    kr::Report e(err);
    if (!recordWrite(file, file->headerPtr, Record::FileHeader, &file->header, "khfa_HeaderReWrite",
                     e.out()))
        return false;
    file->headerPending = 0;
    return true;
}

bool headerRewrite(Khfa_File *file, Kerr_ErrorReport **err) {
    if (file->writeThroughOff) return true;
    if (file->headerDeferred) {
        file->headerPending = 1;
        return true;
    }
    return headerWrite(file, err);
}

int32_t dictionaryRead(Khfa_File *file, Kmif_Dictionary **dictionary, uint32_t pos, int32_t limit,
                       Kerr_ErrorReport **err) {
    static const char *const fn = "khfa_DictionaryRead";
    kr::Report e(err);
    if (!dictionary || pos == 0 || limit < 0) {
        e.error(fn, 1, "Args");
        return -1;
    }
    if (pos >= file->endOfFile) {
        e.error(fn, 2, "Dictionary position %lu lies beyond the end of file %s",
                static_cast<unsigned long>(pos), file->name);
        return -1;
    }
    TextReader reader{file->fd, file->endOfFile - pos, 0, nullptr};
    if (limit > 0 && limit < reader.remaining) reader.remaining = limit;
    if (kfio_Seek64(file->fd, pos, 0, e.out()) != pos) {
        e.error(fn, 3, "kfio_Seek failed");
        return -1;
    }
    Kmif_Dictionary *d = kmif_DictionaryDecode(TextReader::next, &reader, *dictionary, e.out());
    if (!d) {
        if (reader.failure) e.wrap(reader.failure, fn, 5, "Cannot read the dictionary");
        e.error(fn, 4, "kmif_DecodeDictionary failed");
        return -1;
    }
    kerr_DeleteErrorReport(reader.failure);
    *dictionary = d;
    // The decoder stops right after the closing ".", so this is the length of
    // the text on disk (re-encoding may differ when designs nest in place).
    return static_cast<int32_t>(reader.consumed);
}

bool dictionaryWrite(Khfa_File *file, const Kmif_Dictionary *dictionary, uint32_t *pos,
                     int32_t *length, Kerr_ErrorReport **err) {
    static const char *const fn = "khfa_DictionaryWrite";
    kr::Report e(err);
    if (!dictionary || !pos || !length) {
        e.error(fn, 1, "Args");
        return false;
    }
    char *text = kmif_DictionaryEncodeToString(dictionary, e.out());
    if (!text) {
        e.error(fn, 2, "kmif_DictionaryEncodeToString failed");
        return false;
    }
    const auto newLength = static_cast<int32_t>(std::strlen(text));
    const int32_t stored = *length;
    uint32_t at = *pos;
    const bool move =
        at == 0 || (newLength != stored && int64_t{newLength} + KHFA_FREE_NODE_SIZE > stored);
    if (move && (at = nextFreePos(file, newLength, e.out())) == 0) {
        kmsc_HeapFree(text);
        e.error(fn, 3, "khfa_NextFreePos failed");
        return false;
    }
    const bool written = writeAt(file, at, text, newLength, fn, e.out());
    kmsc_HeapFree(text);
    if (!written) return false;
    if (!move && newLength < stored) {
        Kerr_ErrorReport *inner = nullptr;
        if (!freeSpace(file, at + static_cast<uint32_t>(newLength), stored - newLength, &inner))
            kr::warn(inner, fn, 4, "Troubling freeing up old dictionary xtra space");
    }
    if (kfio_FileFlush(file->fd, e.out()) != 0) {
        e.error(fn, 5, "File flush failed");
        return false;
    }
    *pos = at;
    *length = newLength;
    return true;
}

}  // namespace kr::hfa

using kr::hfa::Operation;

extern "C" {

KRASTER_API int khfa_HeaderReWrite(Khfa_File *file, Kerr_ErrorReport **err) {
    kr::Report e(err);
    Operation op(file, "khfa_HeaderReWrite", e.out());
    if (!op.ok()) return -1;
    return kr::hfa::headerRewrite(file, e.out()) ? 0 : -1;
}

KRASTER_API int32_t khfa_DictionaryRead(Khfa_File *file, Kmif_Dictionary **dictionary,
                                        uint32_t position, int32_t length, Kerr_ErrorReport **err) {
    kr::Report e(err);
    Operation op(file, "khfa_DictionaryRead", e.out());
    if (!op.ok()) return -1;
    return kr::hfa::dictionaryRead(file, dictionary, position, length, e.out());
}

KRASTER_API int khfa_DictionaryWrite(Khfa_File *file, const Kmif_Dictionary *dictionary,
                                     uint32_t *position, int32_t *length, int,
                                     Kerr_ErrorReport **err) {
    kr::Report e(err);
    Operation op(file, "khfa_DictionaryWrite", e.out());
    if (!op.ok()) return -1;
    return kr::hfa::dictionaryWrite(file, dictionary, position, length, e.out()) ? 0 : -1;
}

KRASTER_API int khfa_DictionaryDelete(Khfa_File *file, uint32_t position, int32_t length,
                                      Kerr_ErrorReport **err) {
    static const char *const fn = "khfa_DictionaryDelete";
    kr::Report e(err);
    Operation op(file, fn, e.out());
    if (!op.ok()) return -1;
    if (position == 0) return 0;
    if (!kr::hfa::freeSpace(file, position, length, e.out())) {
        e.error(fn, 1, "Troubling freeing up old dictionary");
        return -1;
    }
    return 0;
}

}  // extern "C"
