// External projections: a module exporting the kprj_X functions, found
// along ORVEL_PROJECTIONS_PATH and kept loaded for the process, else a
// program of that name started as a child and spoken to over a connection
// each way. Copies of an external projection share the module instance or
// the child (reference counted); the last one ends it.
#include <kraster/kfio.h>
#include <kraster/kmif.h>
#include <kraster/kmsc.h>
#include <kraster/kprj.h>

#include <dlfcn.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "projection/kprj_engine.hpp"
#include "projection/kprj_internal.hpp"

extern char **environ;

namespace kr::prj {

namespace {

constexpr int kAnswerTimeoutMs = 60000;
constexpr uint32_t kMaxReportBytes = 1u << 20;

struct Module {
    std::string name;
    void *handle = nullptr;
    Kprj_XProjectionInitFunction init = nullptr;
    Kprj_XProjectionPointsFunction toLL = nullptr;
    Kprj_XProjectionPointsFunction fromLL = nullptr;
    Kprj_XProjectionQuitFunction quit = nullptr;
};

std::mutex g_modulesMutex;
std::vector<std::unique_ptr<Module>> g_modules;  // loaded once, shared by name

std::vector<std::string> searchDirectories() {
    std::vector<std::string> dirs;
    Kfio_SearchList *list =
        kfio_CreateSLFromEnv(nullptr, "ORVEL_PROJECTIONS_PATH", ".;./bin", nullptr);
    for (const Kfio_SearchList *s = list; s; s = s->next)
        if (s->directory) dirs.emplace_back(s->directory);
    kfio_FreeSL(list);
    return dirs;
}

bool isFile(const std::string &path, bool executable) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
           (!executable || access(path.c_str(), X_OK) == 0);
}

// The module named name, loading it on first use. Null with *found false
// when no file exists; null with *found true (and a report or a warning)
// when the file is unusable.
const Module *moduleFor(const std::string &name, bool *found, const char *fn, Report &e) {
    *found = false;
    std::lock_guard<std::mutex> lock(g_modulesMutex);
    for (const auto &m : g_modules)
        if (m->name == name) {
            *found = true;
            return m.get();
        }
    std::string path;
    for (const std::string &d : searchDirectories())
        if (isFile(d + "/" + name + ".so", false)) {
            path = d + "/" + name + ".so";
            break;
        }
    if (path.empty()) return nullptr;
    *found = true;
    void *handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char *why = dlerror();
        e.error(fn, 20, "%s", why ? why : "dlopen failed");
        e.error(fn, 21, "Error returned from kdll_Open for %s", path.c_str());
        return nullptr;
    }
    auto m = std::make_unique<Module>();
    m->name = name;
    m->handle = handle;
    const char *missing = nullptr;
    if (!(m->init = reinterpret_cast<Kprj_XProjectionInitFunction>(
              dlsym(handle, "kprj_XProjectionInit"))))
        missing = "kprj_XProjectionInit";
    else if (!(m->toLL = reinterpret_cast<Kprj_XProjectionPointsFunction>(
                   dlsym(handle, "kprj_XProjectionToLL"))))
        missing = "kprj_XProjectionToLL";
    else if (!(m->fromLL = reinterpret_cast<Kprj_XProjectionPointsFunction>(
                   dlsym(handle, "kprj_XProjectionFromLL"))))
        missing = "kprj_XProjectionFromLL";
    else if (!(m->quit = reinterpret_cast<Kprj_XProjectionQuitFunction>(
                   dlsym(handle, "kprj_XProjectionQuit"))))
        missing = "kprj_XProjectionQuit";
    if (missing) {
        kr::warn(nullptr, fn, 22, "%s missing from %s:  DLL ignored", missing, path.c_str());
        dlclose(handle);
        *found = false;
        return nullptr;
    }
    g_modules.push_back(std::move(m));
    return g_modules.back().get();
}

// A module instance or a child program, shared by the copies of a projection.
struct Connection {
    std::atomic<int> references{1};
    std::mutex mutex;
    const Module *module = nullptr;
    void *instance = nullptr;
    std::string program;
    pid_t pid = -1;
    int fd = -1;  // the parent's end of the connection

    ~Connection() {
        if (module && instance) module->quit(instance);
        hangUp(true);
    }

    // Ends the child: the quit command (when asked), then closing the
    // connection, then waiting a little before killing it.
    void hangUp(bool sayQuit) {
        if (fd >= 0) {
            if (sayQuit) {
                const int32_t header[2] = {KPRJ_X_QUIT, 0};
                (void)send(fd, header, sizeof header, MSG_NOSIGNAL);
            }
            close(fd);
            fd = -1;
        }
        if (pid > 0) {
            int status = 0;
            for (int i = 0; i < 100 && waitpid(pid, &status, WNOHANG) == 0; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            if (waitpid(pid, &status, WNOHANG) == 0) {
                kill(pid, SIGKILL);
                waitpid(pid, &status, 0);
            }
            pid = -1;
        }
    }

    // Sends bytes; on failure reports and closes the connection.
    bool write(const void *data, size_t n, const char *fn, Report &e) {
        const char *p = static_cast<const char *>(data);
        while (n > 0) {
            const ssize_t w = send(fd, p, n, MSG_NOSIGNAL);
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) {
                e.error(fn, 30, "pipe write failed: %s", strerror(errno));
                hangUp(false);
                return false;
            }
            p += w;
            n -= static_cast<size_t>(w);
        }
        return true;
    }

    // Reads exactly n bytes; on failure reports and closes the connection.
    bool read(void *data, size_t n, const char *fn, Report &e) {
        char *p = static_cast<char *>(data);
        while (n > 0) {
            pollfd pfd{fd, POLLIN, 0};
            const int ready = poll(&pfd, 1, kAnswerTimeoutMs);
            if (ready < 0 && errno == EINTR) continue;
            const ssize_t r = ready > 0 ? recv(fd, p, n, 0) : -1;
            if (r < 0 && errno == EINTR) continue;
            if (r <= 0) {
                e.error(fn, 31, "pipe read failed: %s",
                        ready == 0 ? "timed out" : (r == 0 ? "end of file" : strerror(errno)));
                hangUp(false);
                return false;
            }
            p += r;
            n -= static_cast<size_t>(r);
        }
        return true;
    }

    // The child's reports after a non-zero status: text fields until the
    // answer's bytes are used up, chained under the command's message.
    void readReports(uint32_t count, const char *command, const char *fn, Report &e) {
        if (count > kMaxReportBytes) {
            e.error(fn, 32, "Out of sync");
            hangUp(false);
            return;
        }
        std::string text(count, '\0');
        if (count && !read(text.data(), count, fn, e)) return;
        struct Item {
            long code, severity;
            std::string function, message;
        };
        std::vector<Item> items;
        size_t at = 0;
        bool sync = true;
        auto field = [&](long *value) {
            if (text.size() - at < 5) return false;
            const std::string f = text.substr(at, 5);
            char *end = nullptr;
            *value = strtol(f.c_str(), &end, 10);
            at += 5;
            return end && end != f.c_str() && *end == '\0';
        };
        auto bytes = [&](std::string *out) {
            long n = 0;
            if (!field(&n) || n < 0 || static_cast<size_t>(n) > text.size() - at) return false;
            *out = text.substr(at, static_cast<size_t>(n));
            at += static_cast<size_t>(n);
            return true;
        };
        while (at < text.size() && sync) {
            Item item;
            sync = field(&item.code) && bytes(&item.function) && field(&item.severity) &&
                   bytes(&item.message);
            if (sync) items.push_back(std::move(item));
        }
        for (auto it = items.rbegin(); it != items.rend(); ++it)
            e.raise(it->function.c_str(), static_cast<int>(it->code),
                    static_cast<uint32_t>(it->severity), "%s", it->message.c_str());
        if (!sync) {
            e.error(fn, 33, "Out of sync");
            hangUp(false);
        }
        e.error(fn, 34, "Error returned from %s command", command);
    }

    // One request and its answer; the answer data go to out (outBytes of
    // them expected; 0 for none).
    bool exchange(int32_t command, const char *name, const void *data, uint32_t bytes, void *out,
                  uint32_t outBytes, const char *fn, Report &e) {
        if (fd < 0) {
            e.error(fn, 35, "Bad connection");
            return false;
        }
        const int32_t header[2] = {command, static_cast<int32_t>(bytes)};
        if (!write(header, sizeof header, fn, e) || (bytes && !write(data, bytes, fn, e)))
            return false;
        int32_t answer[2];
        if (!read(answer, sizeof answer, fn, e)) return false;
        const uint32_t count = static_cast<uint32_t>(answer[1]);
        if (answer[0] != 0) {
            readReports(count, name, fn, e);
            return false;
        }
        if (outBytes == 0 && count != 0) {
            e.error(fn, 36, "Byte count of data returned is not 0");
            hangUp(false);
            return false;
        }
        if (outBytes != 0 && count == 0) {
            e.error(fn, 37, "No data returned from %s command", name);
            return false;
        }
        if (count != outBytes) {
            e.error(fn, 38, "Out of sync");
            hangUp(false);
            return false;
        }
        return !outBytes || read(out, outBytes, fn, e);
    }
};

struct External {
    Connection *c;
    explicit External(Connection *connection) : c(connection) {}
    External(const External &o) : c(o.c) { ++c->references; }
    External &operator=(const External &) = delete;
    ~External() {
        if (--c->references == 0) delete c;
    }
};

int points(const void *parameters, int64_t n, const Kprj_Coordinate *in, Kprj_Coordinate *out,
           Kerr_ErrorReport **err, bool toLL) {
    const char *fn = toLL ? "kprj_XProjectionToLL" : "kprj_XProjectionFromLL";
    const char *command = toLL ? "KPRJ_X_TOLL" : "KPRJ_X_FROMLL";
    Report e(err);
    if (!parameters || n < 0 || (n > 0 && (!in || !out))) {
        e.error(fn, 1, n < 0 ? "Bad point count" : "Invalid input parameters");
        return -1;
    }
    Connection *c = static_cast<const External *>(parameters)->c;
    std::lock_guard<std::mutex> lock(c->mutex);
    if (c->module) {
        if (!c->instance) {
            e.error(fn, 2, "Bad DLL instance");
            return -1;
        }
        const int r =
            (toLL ? c->module->toLL : c->module->fromLL)(c->instance, n, in, out, e.out());
        if (r < 0) e.error(fn, 3, "Error returned from %s", fn);
        return r < 0 ? -1 : 0;
    }
    // The child takes points in batches that keep each message small.
    constexpr int64_t kBatch = 1 << 16;
    for (int64_t at = 0; at < n; at += kBatch) {
        const int64_t k = std::min(kBatch, n - at);
        const uint32_t bytes = static_cast<uint32_t>(k * sizeof(Kprj_Coordinate));
        if (!c->exchange(toLL ? KPRJ_X_TOLL : KPRJ_X_FROMLL, command, in + at, bytes, out + at,
                         bytes, fn, e))
            return -1;
    }
    return 0;
}

int toLL(const void *p, int64_t n, const Kprj_Coordinate *in, Kprj_Coordinate *out,
         Kerr_ErrorReport **err) {
    return points(p, n, in, out, err, true);
}
int fromLL(const void *p, int64_t n, const Kprj_Coordinate *in, Kprj_Coordinate *out,
           Kerr_ErrorReport **err) {
    return points(p, n, in, out, err, false);
}

// Starts the program with its standard input and output on a connection.
bool startChild(Connection *c, const std::string &path, const char *fn, Report &e) {
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) < 0) {
        e.error(fn, 40, "Error executing external projection executable");
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, sv[1], 0);
    posix_spawn_file_actions_adddup2(&actions, sv[1], 1);
    std::string arg0 = path;
    char *argv[] = {arg0.data(), nullptr};
    pid_t pid = -1;
    const int r = posix_spawn(&pid, path.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(sv[1]);
    if (r != 0) {
        close(sv[0]);
        e.error(fn, 41, "%s", strerror(r));
        e.error(fn, 42, "Error executing external projection executable");
        return false;
    }
    c->pid = pid;
    c->fd = sv[0];
    c->program = path;
    return true;
}

}  // namespace

bool externalInit(const Kprj_ProParameters *p, Kprj_MapProjection *m, Report &e) {
    constexpr const char *fn = "kprj_XProjectionInit";
    const std::string name =
        p->proExeName.count > 1 && p->proExeName.data ? p->proExeName.data : "";
    if (name.empty()) {
        e.error(fn, 1, "Invalid projection parameters");
        return false;
    }
    auto connection = std::make_unique<Connection>();
    bool found = false;
    const Module *module =
        name.find('/') == std::string::npos ? moduleFor(name, &found, fn, e) : nullptr;
    if (found && !module) return false;
    if (module) {
        connection->module = module;
        connection->instance = module->init(p, e.out());
        if (!connection->instance) {
            e.error(fn, 2, "Error returned from kprj_XProjectionInit of %s", name.c_str());
            return false;
        }
    } else {
        std::string path;
        if (name.find('/') != std::string::npos) {
            if (isFile(name, true)) path = name;
        } else {
            for (const std::string &d : searchDirectories())
                if (isFile(d + "/" + name, true)) {
                    path = d + "/" + name;
                    break;
                }
        }
        if (path.empty()) {
            e.error(fn, 3, "Unable to find executable %s or dll %s.so", name.c_str(), name.c_str());
            return false;
        }
        if (!startChild(connection.get(), path, fn, e)) return false;
        const Designs *d = designs(fn, e);
        unsigned char *data = nullptr;
        char *dictionary = nullptr, *designName = nullptr;
        const int32_t n = d ? kmif_MIFableObjectConvertToMIF(const_cast<Kprj_ProParameters *>(p),
                                                             d->proParameters, &data, &dictionary,
                                                             &designName, e.out())
                            : -1;
        kmsc_HeapFree(dictionary);
        kmsc_HeapFree(designName);
        const bool ok = n >= 0 && connection->exchange(KPRJ_X_INIT, "KPRJ_X_INIT", data,
                                                       static_cast<uint32_t>(n), nullptr, 0, fn, e);
        kmsc_HeapFree(data);
        if (!ok) {
            e.error(fn, 4, "Initialization of external process %s failed", path.c_str());
            return false;
        }
    }
    auto *block = new (std::nothrow) External(connection.get());
    if (!block) {
        e.error(fn, 5, "Error allocating parameters");
        return false;
    }
    connection.release();
    setBlock(m, block);
    m->toLL = toLL;
    m->fromLL = fromLL;
    return true;
}

}  // namespace kr::prj
