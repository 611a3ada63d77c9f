// Helpers shared by the test suites.
#pragma once

#include <kraster/kraster.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <type_traits>
#include <vector>

namespace ktest {

// A fresh temporary directory, removed with its contents on destruction.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

// Owns a report chain for the length of a test.
struct Err {
    Kerr_ErrorReport *r = nullptr;
    ~Err() { kerr_DeleteErrorReport(r); }
    // Handing the address to another call drops the chain of the previous one
    // (the callee would clear the pointer and leak it).
    Kerr_ErrorReport **operator&() {
        reset();
        return &r;
    }
    Kerr_ErrorReport *operator->() const { return r; }
    explicit operator bool() const { return r != nullptr; }
    void reset() { kerr_DeleteErrorReportEx(&r); }
};

// What kerr_PrintErrorReportNoEML prints for a chain.
std::string printed(const Kerr_ErrorReport *report, int endUser);

// Messages of a chain joined by " | ", newest first (NULL messages as "-").
std::string messages(const Kerr_ErrorReport *report);

// True when some record of the chain carries this code and function.
bool hasCode(const Kerr_ErrorReport *report, const char *function, int code);

// Runs `op` with the heap failing after N allocations for N = 0, 1, 2 ...
// until it succeeds. Each failing run must return false and leave a report;
// `undo` (called after every run, failed or not) must release what the run
// made, after which no heap block may remain beyond those live before the
// run. Returns the number of failing runs, or -1 after a check failed
// (reported through GoogleTest).
int runWithAllocationFailures(const std::function<bool(Kerr_ErrorReport **err)> &op,
                              const std::function<void()> &undo, int maxRuns = 100000);

// Runs `op` once with the heap intact, counting its allocations, then once
// for each of them with exactly that allocation failing. A failing run must
// leave a report; a run may also succeed (it recovered), and then must leave
// no report and satisfy `verify` (when given), checked before `undo`. After
// `undo` no heap block may remain beyond those live before the run. Returns
// the number of allocations of the intact run, or -1 after a check failed.
int runWithEachAllocationFailing(const std::function<bool(Kerr_ErrorReport **err)> &op,
                                 const std::function<void()> &undo,
                                 const std::function<bool()> &verify = nullptr);

// runWithAllocationFailures for a call that makes something: `make(err)`
// returns it (NULL on failure); `release` frees what a run made.
template <class Make, class Release>
int runMaking(Make make, Release release, int maxRuns = 100000) {
    decltype(make(nullptr)) made = nullptr;
    return runWithAllocationFailures(
        [&](Kerr_ErrorReport **err) { return (made = make(err)) != nullptr; },
        [&] {
            if (made) release(made);
            made = nullptr;
        },
        maxRuns);
}

// While alive, takes over the printing of reports (kerr_PrintErrorReport,
// hence every printed warning) and keeps what would have been printed.
class PrintedReports {
  public:
    struct Entry {
        uint32_t severity;     // of the newest record
        std::string function;  // of the newest record
        int32_t code;          // of the newest record
        std::string messages;  // ktest::messages of the chain
    };
    PrintedReports();
    ~PrintedReports();
    PrintedReports(const PrintedReports &) = delete;
    PrintedReports &operator=(const PrintedReports &) = delete;
    std::vector<Entry> entries() const;
    // The newest record's message of each printed chain, in print order.
    std::vector<std::string> headlines() const;
    // True when some printed chain's messages contain `text`.
    bool contains(const std::string &text) const;
    void clear();

  private:
    static void hook(void *self, Kerr_ErrorReport *report, int endUser, Kerr_ErrorReport **result);
    mutable std::mutex mutex_;
    std::vector<Entry> entries_;
};

// Sets an environment variable (NULL: unsets it) for the life of the object.
class ScopedEnv {
  public:
    ScopedEnv(const char *name, const char *value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv &) = delete;
    ScopedEnv &operator=(const ScopedEnv &) = delete;

  private:
    std::string name_;
    std::string old_;
    bool had_;
};

// A call that must fail: `fails(err)` returns true when the call returned
// its failure value; the report must then hold `code` from `function` and
// `message` somewhere in its messages.
struct Refusal {
    const char *function;
    int code;
    std::string message;
    std::function<bool(Kerr_ErrorReport **err)> fails;
};
void expectRefusals(const std::vector<Refusal> &refusals);

// A heap string handed out by the library as a string ("(NULL)" for NULL),
// freed.
std::string take(char *s);

// An integer of any integral type (never a floating value or a pointer).
struct Int {
    long long v;
    template <class T, class = std::enable_if_t<std::is_integral_v<T> || std::is_enum_v<T>>>
    Int(T x) : v(static_cast<long long>(x)) {}
    bool operator==(const Int &o) const { return v == o.v; }
};
inline std::ostream &operator<<(std::ostream &o, const Int &i) {
    return o << i.v;
}
// Several integer facts compared at once, evaluated left to right:
// EXPECT_EQ((Ints{a, b}), (Ints{1, 2})).
using Ints = std::vector<Int>;
using Reals = std::vector<double>;

// Reads a whole file into a string.
std::string readFile(const std::string &path);
// Reads a whole stream from its start.
std::string readFile(FILE *f);
// What a printing function writes to a stream; empty when it fails.
std::string printed(const std::function<int(FILE *)> &print);
void writeFile(const std::string &path, const std::string &contents);

// Owning handles of projection records and projection objects.
struct ParamsFree {
    void operator()(Kprj_ProParameters *p) const { kprj_ProParametersFree(p); }
};
struct ProjectionFree {
    void operator()(Kprj_Projection *p) const { kprj_ProjectionFree(p); }
};
using Params = std::unique_ptr<Kprj_ProParameters, ParamsFree>;
using Projection = std::unique_ptr<Kprj_Projection, ProjectionFree>;

}  // namespace ktest
