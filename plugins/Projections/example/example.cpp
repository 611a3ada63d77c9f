// An example external projection: a scaled plate carree,
//   x = false easting + a k (lon - lon0),  y = false northing + a k lat,
// with k = parameter 2 (1 when 0), lon0 = parameter 4, false easting and
// northing = parameters 6 and 7, a the spheroid's semi-major axis.
//
// Built as a module it exports the kprj_X functions. Built as a program it
// answers the requests of the pipe protocol on its standard input and
// output; parameter 0 then picks a behaviour for exercising the engine:
// 0 answers properly, 1 answers point requests with a wrong byte count,
// 2 exits on the first point request, 3 refuses to initialise with two
// reports, 4 answers point requests with no data, 5 answers with a
// malformed report, 6 answers the initialisation with data.
#include <kraster/kraster.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

struct Plate {
    double ak, lon0, fe, fn;
};

Plate *plateFor(const Kprj_ProParameters *p, Kerr_ErrorReport **err) {
    auto param = [p](int i) {
        return i < p->proParams.count && p->proParams.data ? p->proParams.data[i] : 0.0;
    };
    const double k = param(2) == 0 ? 1.0 : param(2);
    const double a = p->proSpheroid ? p->proSpheroid->a : 0;
    if (!(k > 0) || !(a > 0)) {
        if (err)
            *err = kerr_CreateErrorReport("kprj_XProjectionInit", 1, 2, *err,
                                          "Scale factor and semi-major axis must be positive");
        return nullptr;
    }
    return new Plate{a * k, param(4), param(6), param(7)};
}

void convert(const Plate &p, int64_t n, const Kprj_Coordinate *in, Kprj_Coordinate *out,
             bool toLL) {
    for (int64_t i = 0; i < n; ++i) {
        const double x = in[i].x, y = in[i].y;
        if (toLL) {
            out[i].x = (x - p.fe) / p.ak + p.lon0;
            out[i].y = (y - p.fn) / p.ak;
        } else {
            out[i].x = p.fe + p.ak * (x - p.lon0);
            out[i].y = p.fn + p.ak * y;
        }
    }
}

}  // namespace

#ifndef KPRJ_EXAMPLE_PROGRAM

extern "C" {

__attribute__((visibility("default"))) void *kprj_XProjectionInit(const Kprj_ProParameters *p,
                                                                  Kerr_ErrorReport **err) {
    return p ? plateFor(p, err) : nullptr;
}

__attribute__((visibility("default"))) int kprj_XProjectionToLL(void *instance, int64_t count,
                                                                const Kprj_Coordinate *in,
                                                                Kprj_Coordinate *out,
                                                                Kerr_ErrorReport **) {
    convert(*static_cast<Plate *>(instance), count, in, out, true);
    return 0;
}

__attribute__((visibility("default"))) int kprj_XProjectionFromLL(void *instance, int64_t count,
                                                                  const Kprj_Coordinate *in,
                                                                  Kprj_Coordinate *out,
                                                                  Kerr_ErrorReport **) {
    convert(*static_cast<Plate *>(instance), count, in, out, false);
    return 0;
}

__attribute__((visibility("default"))) void kprj_XProjectionQuit(void *instance) {
    delete static_cast<Plate *>(instance);
}

}  // extern "C"

#else

namespace {

bool readAll(void *data, size_t n) {
    char *p = static_cast<char *>(data);
    while (n > 0) {
        const ssize_t r = read(0, p, n);
        if (r <= 0) return false;
        p += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

void writeAll(const void *data, size_t n) {
    const char *p = static_cast<const char *>(data);
    while (n > 0) {
        const ssize_t w = write(1, p, n);
        if (w <= 0) exit(3);
        p += w;
        n -= static_cast<size_t>(w);
    }
}

void answer(int32_t status, const void *data, size_t n) {
    const int32_t header[2] = {status, static_cast<int32_t>(n)};
    writeAll(header, sizeof header);
    if (n) writeAll(data, n);
}

// Reports as text fields, newest first.
void answerReports(const std::vector<std::pair<std::string, std::string> > &reports) {
    std::string text;
    char field[24];
    long code = 1;
    for (const auto &[function, message] : reports) {
        snprintf(field, sizeof field, "%5ld", code++);
        text += field;
        snprintf(field, sizeof field, "%5ld", static_cast<long>(function.size()));
        text += field + function;
        snprintf(field, sizeof field, "%5ld", 2L);
        text += field;
        snprintf(field, sizeof field, "%5ld", static_cast<long>(message.size()));
        text += field + message;
    }
    answer(1, text.data(), text.size());
}

}  // namespace

int main() {
    if (!kint_InitToolkit(nullptr)) return 2;
    Kmif_Dictionary *d = kprj_InitDictionaryCreate(nullptr);
    char *dictionary = d ? kmif_DictionaryEncodeToString(d, nullptr) : nullptr;
    if (!dictionary) return 2;
    Plate *plate = nullptr;
    int mode = 0;
    int32_t header[2];
    while (readAll(header, sizeof header)) {
        if (header[1] < 0 || header[1] > (1 << 24)) return 4;
        std::vector<unsigned char> data(static_cast<size_t>(header[1]));
        if (!data.empty() && !readAll(data.data(), data.size())) return 4;
        switch (header[0]) {
            case KPRJ_X_INIT: {
                Kerr_ErrorReport *err = nullptr;
                Kprj_ProParameters *p =
                    kprj_ProjectionConvertFromMIF(data.data(), static_cast<int64_t>(data.size()),
                                                  dictionary, "Kprj_ProParameters", &err);
                mode = p && p->proParams.count > 0 ? static_cast<int>(p->proParams.data[0]) : 0;
                delete plate;
                plate = p ? plateFor(p, &err) : nullptr;
                kprj_ProParametersFree(p);
                if (mode == 3) {
                    answerReports({{"example_Init", "Refusing to initialise"},
                                   {"example_Check", "Parameter 0 asks for a refusal"}});
                } else if (!plate) {
                    answerReports(
                        {{"example_Init", err && err->message ? err->message : "Cannot decode"}});
                } else if (mode == 6) {
                    answer(0, "xx", 2);
                } else {
                    answer(0, nullptr, 0);
                }
                kerr_DeleteErrorReport(err);
                break;
            }
            case KPRJ_X_TOLL:
            case KPRJ_X_FROMLL: {
                if (mode == 2) {  // dies without answering
                    delete plate;
                    kmsc_HeapFree(dictionary);
                    return 0;
                }
                if (mode == 4) {
                    answer(0, nullptr, 0);
                    break;
                }
                if (mode == 5) {
                    answer(1, "   12   99abc", 13);
                    break;
                }
                const size_t n = data.size() / sizeof(Kprj_Coordinate);
                std::vector<Kprj_Coordinate> out(n);
                if (plate)
                    convert(*plate, static_cast<int64_t>(n),
                            reinterpret_cast<const Kprj_Coordinate *>(data.data()), out.data(),
                            header[0] == KPRJ_X_TOLL);
                if (mode == 1) out.push_back({1, 2});  // one point too many
                answer(0, out.data(), out.size() * sizeof(Kprj_Coordinate));
                break;
            }
            case KPRJ_X_QUIT:
                delete plate;
                kmsc_HeapFree(dictionary);
                return 0;
            default:
                answerReports({{"example_Main", "Unknown command"}});
                break;
        }
    }
    delete plate;
    kmsc_HeapFree(dictionary);
    return 0;
}

#endif
