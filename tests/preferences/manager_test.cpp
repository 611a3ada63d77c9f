// The preference manager over method tables of the test's own: installing
// tables, reads and writes through them, the use bracket under threads, the
// life cycle and the database type.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <mutex>
#include <thread>
#include <vector>

#include "support/ktest_checks.hpp"
#include "support/ktest.hpp"

namespace {

using ktest::Ints;

// A database of one preference held in memory; the data word points at it.
struct Fake {
    explicit Fake(int i = 0) : id(i) {}
    int id = 0;
    bool threadSafe = false;
    bool known = true;
    int32_t type = KPMG_NUMBER;
    double number = 0;
    std::string string;
    bool initFails = false, getFails = false, putFails = false, flushFails = false, cbFails = false;
    std::atomic<int> initCalls{0};
    std::atomic<int> active{0};  // brackets between DATABASE_INITIALIZE and PREFERENCE_GET
    // Guards what the methods record below: a thread-safe table runs them in
    // several threads at once.
    std::mutex recording;
    std::vector<std::string> calls;
    // What the last request carried.
    Kpmg_GetRequest request{};
    std::string category, name;
    int32_t putType = 0;
    Kpmg_Value put{};
    std::string putString;
    Kpmg_PreferenceCallback callback = nullptr;
    void *clientData = nullptr;
    // Hook run inside PREFERENCE_GET.
    std::function<void()> onGet;
};

// Runs `note` under the fake's recording lock.
template <class F>
void record(Fake *f, F note) {
    std::lock_guard<std::mutex> lock(f->recording);
    note();
}

thread_local Fake *t_lastInit = nullptr;
std::atomic<int> g_mixes{0};

// -1 and a report from `fn` saying `what` when the method is to fail, else 0.
int outcome(bool fails, Kerr_ErrorReport **err, const char *fn, const char *what) {
    if (fails) *err = kerr_CreateErrorReport(fn, 1, 2, nullptr, "%s", what);
    return fails ? -1 : 0;
}

int fakeInit(void *data, Kerr_ErrorReport **err) {
    auto *f = static_cast<Fake *>(data);
    ++f->initCalls;
    ++f->active;
    t_lastInit = f;
    return outcome(f->initFails, err, "fakeInit", "init broke");
}
int fakeTerminate(void *data, Kerr_ErrorReport **) {
    auto *f = static_cast<Fake *>(data);
    record(f, [&] { f->calls.push_back("terminate"); });
    --f->active;
    return 0;
}
int fakeFlush(void *data, Kerr_ErrorReport **err) {
    auto *f = static_cast<Fake *>(data);
    record(f, [&] { f->calls.push_back("flush"); });
    if (f->flushFails) --f->active;
    return outcome(f->flushFails, err, "fakeFlush", "flush broke");
}
int fakeCallback(void *data, const char *category, const char *name, Kpmg_PreferenceCallback cb,
                 void *clientData, Kerr_ErrorReport **err) {
    auto *f = static_cast<Fake *>(data);
    --f->active;
    record(f, [&] {
        f->category = category, f->name = name, f->callback = cb, f->clientData = clientData;
    });
    return outcome(f->cbFails, err, "fakeCallback", "callback broke");
}
int fakeGet(Kpmg_GetRequest *r, Kerr_ErrorReport **err) {
    auto *f = static_cast<Fake *>(r->data);
    if (t_lastInit != f) ++g_mixes;  // initialised one table, reading another
    if (f->onGet) f->onGet();
    record(f, [&] { f->request = *r, f->category = r->category, f->name = r->name; });
    --f->active;
    if (f->getFails || !f->known) return outcome(f->getFails, err, "fakeGet", "get broke");
    r->found = 1;
    r->type = f->type;
    r->value.number = f->number ? f->number : f->id;
    r->value.boolean = 1;
    r->value.color = {f->id, 2, 3};
    if (f->type == KPMG_STRING || f->type == KPMG_ENUM)
        r->value.string = kstr_Duplicate(f->string.c_str());
    return 0;
}
int fakePut(void *data, const char *category, const char *name, int32_t type, const Kpmg_Value *v,
            Kerr_ErrorReport **err) {
    auto *f = static_cast<Fake *>(data);
    --f->active;
    record(f, [&] {
        f->category = category, f->name = name, f->putType = type, f->put = *v;
        f->putString = v->string ? v->string : "";
    });
    return outcome(f->putFails, err, "fakePut", "put broke");
}

// The method list of a fake, without the method of code `skip`; `nullCode`
// is listed with a NULL function.
std::vector<intptr_t> methods(Fake &f, int skip = 0, int nullCode = 0) {
    const intptr_t fns[] = {0,
                            reinterpret_cast<intptr_t>(&f),
                            reinterpret_cast<intptr_t>(&fakeInit),
                            reinterpret_cast<intptr_t>(&fakeTerminate),
                            reinterpret_cast<intptr_t>(&fakeFlush),
                            reinterpret_cast<intptr_t>(&fakeCallback),
                            reinterpret_cast<intptr_t>(&fakeCallback),
                            reinterpret_cast<intptr_t>(&fakeGet),
                            reinterpret_cast<intptr_t>(&fakePut)};
    std::vector<intptr_t> m;
    for (int code = 8; code >= 1; --code) {  // any order serves
        if (code == skip) continue;
        m.push_back(code);
        m.push_back(code == nullCode ? 0 : fns[code]);
    }
    if (f.threadSafe) m.insert(m.end(), {KPMG_METHOD_THREAD_SAFE, 1});
    m.push_back(0);
    m.push_back(0);
    return m;
}

int install(const std::vector<intptr_t> &m, Kerr_ErrorReport **err = nullptr) {
    return kpmg_PreferenceImplementationMethodsSet(m.data(), err);
}

double readNumber(Kerr_ErrorReport **err = nullptr) {
    return kpmg_GetNumberPreference("cat", "pref", -1.0, err);
}

class PreferenceManager : public testing::Test {
  protected:
    void TearDown() override {
        EXPECT_EQ(kpmg_PreferenceImplementationMethodsSet(kprf_DefaultMethodList(), nullptr), 0);
    }
};

TEST_F(PreferenceManager, ATableMissingAnyMethodIsRefusedAndTheOldOneStays) {
    Fake a(7);
    ASSERT_EQ(install(methods(a)), 0);
    const char *const missing[] = {nullptr,
                                   "Missing DATA",
                                   "Missing DATABASE_INITIALIZE",
                                   "Missing DATABASE_TERMINATE",
                                   "Missing DATABASE_FLUSH",
                                   "Missing PREFERENCE_ADD_CB",
                                   "Missing PREFERENCE_REM_CB",
                                   "Missing PREFERENCE_GET",
                                   "Missing PREFERENCE_PUT"};
    for (int code = 1; code <= 8; ++code) {
        Fake b(8);
        ktest::Err e;
        refused(e, install(methods(b, code), &e) == -1, missing[code]);
        EXPECT_EQ(e->severity, KERR_SEVERITY_ERROR);
        EXPECT_EQ(readNumber(), 7.0) << "table replaced although " << missing[code];
    }
    // The first missing method in code order is named.
    std::vector<intptr_t> m = {KPMG_METHOD_DATA, 0, KPMG_METHOD_PREFERENCE_GET, 1, 0, 0};
    ktest::Err e;
    refused(e, install(m, &e) == -1, "Missing DATABASE_INITIALIZE");
    e.reset();
    const intptr_t empty[] = {0, 0};
    refused(e, kpmg_PreferenceImplementationMethodsSet(empty, &e) == -1, "Missing DATA");
    refused(e, kpmg_PreferenceImplementationMethodsSet(nullptr, &e) == -1, "Missing DATA");
    EXPECT_EQ(readNumber(), 7.0);
    // Unknown codes are printed and the walk goes on.
    Fake u(3);
    m = {42, 1, -5, 0};
    const auto rest = methods(u);
    m.insert(m.end(), rest.begin(), rest.end());
    ktest::PrintedReports printed;
    EXPECT_EQ(install(m, &e), 0);
    EXPECT_EQ(e.r, nullptr);
    EXPECT_EQ(printed.headlines(),
              (std::vector<std::string>{"Unknown method: 42", "Unknown method: -5"}));
    EXPECT_EQ(printed.entries()[0].severity, KERR_SEVERITY_ERROR);
    EXPECT_EQ(readNumber(), 3.0);
}

TEST_F(PreferenceManager, ReadsReturnTheDefaultOnEveryFailure) {
    Fake f;
    f.number = 4.5;
    ASSERT_EQ(install(methods(f)), 0);
    ktest::Err e;
    EXPECT_EQ(readNumber(&e), 4.5);
    EXPECT_EQ(e.r, nullptr);
    EXPECT_EQ(f.category + "." + f.name, "cat.pref");
    EXPECT_EQ(f.request.data, &f);
    EXPECT_EQ(f.request.processId, static_cast<int32_t>(getpid()));

    f.known = false;  // unknown preference: the default, no report
    EXPECT_EQ(readNumber(&e), -1.0);
    EXPECT_EQ(e.r, nullptr);

    f.known = true;
    f.type = KPMG_STRING;  // the database's string is freed by the manager
    f.string = "12";
    refused(e, readNumber(&e) == -1.0, "Type mismatch");
    EXPECT_TRUE(ktest::hasCode(e.r, "kpmg_GetNumberPreference", 4));
    EXPECT_EQ(ktest::take(kpmg_GetStringPreference("cat", "pref", "dflt", &e)), "12");
    // An enumeration is another type.
    EXPECT_EQ(ktest::take(kpmg_GetEnumPreference("cat", "pref", "dflt", &e)), "dflt");
    EXPECT_EQ(ktest::messages(e.r), "Type mismatch");
    e.reset();
    EXPECT_EQ(ktest::take(kpmg_GetStringPreference("cat", "pref", nullptr, nullptr)), "12");

    f.getFails = true;
    refused(e, readNumber(&e) == -1.0, "ImplementationMethods.prefGet failed | get broke");
    // A copy of the default.
    EXPECT_EQ(ktest::take(kpmg_GetStringPreference("cat", "pref", "dflt", &e)), "dflt");
    e.reset();

    // An initialisation failure is printed and the read goes on.
    f.getFails = false;
    f.type = KPMG_COLOR;
    f.initFails = true;
    {
        ktest::PrintedReports printed;
        Kpmg_Color c = kpmg_GetColorPreference("cat", "pref", Kpmg_Color{9, 9, 9}, &e);
        EXPECT_EQ((Ints{c.red, c.green}), (Ints{0, 2}));
        EXPECT_EQ(e.r, nullptr);
        EXPECT_EQ(printed.headlines(),
                  (std::vector<std::string>{"ImplementationMethods.dbInitialize failed"}));
        EXPECT_TRUE(printed.contains("init broke"));
    }

    // A table whose PREFERENCE_GET is listed without a function.
    Fake g;
    ASSERT_EQ(install(methods(g, 0, KPMG_METHOD_PREFERENCE_GET)), 0);
    refused(e, kpmg_GetBooleanPreference("cat", "pref", 1, &e) == 1, "Missing prefGet");
}

void noteChange(void *data) {
    ++*static_cast<int *>(data);
}

TEST_F(PreferenceManager, GenericReadsAndWritesCarryTheirType) {
    Fake f;
    f.type = KPMG_ENUM;
    f.string = "4X4";
    ASSERT_EQ(install(methods(f)), 0);
    Kpmg_Value d{}, v{};
    d.string = const_cast<char *>("2X2");
    ktest::Err e;
    EXPECT_EQ(kpmg_GetValue("cat", "pref", KPMG_ENUM, &d, &v, &e), 0);
    EXPECT_STREQ(v.string, "4X4");
    kpmg_ValueClear(&v);
    EXPECT_EQ(v.string, nullptr);
    refused(e, kpmg_GetValue("cat", "pref", KPMG_NUMBER, &d, &v, &e) == -1, "Type mismatch");
    EXPECT_EQ(v.string, nullptr);  // numbers carry no string
    EXPECT_EQ(kpmg_GetValue("cat", "pref", KPMG_ENUM, &d, nullptr, &e), -1);
    e.reset();

    Kpmg_Value put{};
    put.number = 2.25;
    // Each write reaches the table with its type: status, type and value.
    EXPECT_EQ((Ints{kpmg_SetValue("c", "n", KPMG_NUMBER, &put, &e), f.putType}),
              (Ints{0, KPMG_NUMBER}));
    EXPECT_EQ(f.put.number, 2.25);
    EXPECT_EQ((Ints{kpmg_PutStringPreference("c", "s", "text", &e), f.putType}),
              (Ints{0, KPMG_STRING}));
    EXPECT_EQ(f.putString, "text");
    EXPECT_EQ((Ints{kpmg_PutEnumPreference("c", "s", "4x4", &e), f.putType,
                    kpmg_PutBooleanPreference("c", "b", 1, &e), f.putType, f.put.boolean,
                    kpmg_PutColorPreference("c", "k", Kpmg_Color{1, 2, 3}, &e), f.putType,
                    f.put.color.green, kpmg_PutNumberPreference("c", "n", 5, &e)}),
              (Ints{0, KPMG_ENUM, 0, KPMG_BOOLEAN, 1, 0, KPMG_COLOR, 2, 0}));
    EXPECT_EQ(f.category + "." + f.name, "c.n");

    f.putFails = true;
    refused(e, kpmg_PutNumberPreference("c", "n", 5, &e) == -1,
            "ImplementationMethods.prefPut failed | put broke");
    e.reset();

    // Callback registrations reach the table too.
    int count = 0;
    EXPECT_EQ(kpmg_AddPreferenceCallback("c", "n", noteChange, &count, &e), 0);
    EXPECT_EQ(f.callback, &noteChange);
    EXPECT_EQ(f.clientData, &count);
    f.cbFails = true;
    refused(e, kpmg_RemovePreferenceCallback("c", "n", noteChange, &count, &e) == -1,
            "ImplementationMethods.prefRemCB failed | callback broke");
    refused(e, kpmg_AddPreferenceCallback("c", "n", noteChange, &count, &e) == -1,
            "ImplementationMethods.prefAddCB failed | callback broke");
    e.reset();

    Fake g;
    ASSERT_EQ(install(methods(g, 0, KPMG_METHOD_PREFERENCE_PUT)), 0);
    refused(e, kpmg_PutNumberPreference("c", "n", 5, &e) == -1, "Missing prefPut");
    ASSERT_EQ(install(methods(g, 0, KPMG_METHOD_PREFERENCE_ADD_CB)), 0);
    refused(e, kpmg_AddPreferenceCallback("c", "n", noteChange, &count, &e) == -1,
            "Missing prefAddCB");
}

TEST_F(PreferenceManager, InitAndClose) {
    Fake f;
    f.initFails = true;
    ASSERT_EQ(install(methods(f)), 0);
    ktest::Err e;
    refused(e, kpmg_Init(&e) == nullptr, "ImplementationMethods.dbInitialize failed | init broke");
    EXPECT_TRUE(ktest::hasCode(e.r, "kpmg_Init", 1));
    EXPECT_EQ(kpmg_GetGlobalPreferenceHandle(), nullptr);
    e.reset();
    f.initFails = false;
    Kpmg_Handle *h = kpmg_Init(&e);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(kpmg_GetGlobalPreferenceHandle(), h);
    EXPECT_EQ(kpmg_Init(nullptr), h);

    f.flushFails = true;
    refused(e, kpmg_Close(&e) == -1, "ImplementationMethods.dbFlush failed | flush broke");
    EXPECT_EQ(f.calls, (std::vector<std::string>{"flush"}));  // not ended after a failed flush
    EXPECT_EQ(kpmg_GetGlobalPreferenceHandle(), h);
    e.reset();
    f.flushFails = false;
    f.calls.clear();
    EXPECT_EQ(kpmg_Close(&e), 0);
    EXPECT_EQ(f.calls, (std::vector<std::string>{"flush", "terminate"}));
    EXPECT_EQ(kpmg_GetGlobalPreferenceHandle(), nullptr);
}

TEST_F(PreferenceManager, ConcurrentReadsNeverMixTwoTablesWhileTheyAreSwapped) {
    Fake a(1), b(2);
    a.threadSafe = true;  // one table runs its methods outside the thread-unsafe section
    const auto ma = methods(a), mb = methods(b);
    ASSERT_EQ(install(ma), 0);
    g_mixes = 0;
    std::atomic<bool> stop{false};
    std::atomic<long> reads{0}, bad{0}, seen1{0}, seen2{0};
    std::vector<std::thread> readers;
    for (int t = 0; t < 4; ++t)
        readers.emplace_back([&] {
            while (!stop) {
                Kerr_ErrorReport *err = nullptr;
                const double v = readNumber(&err);
                if (err || (v != 1.0 && v != 2.0)) ++bad;
                (v == 1.0 ? seen1 : seen2)++;
                kerr_DeleteErrorReport(err);
                ++reads;
            }
        });
    for (int i = 0; i < 400; ++i) {
        Fake &old = i % 2 ? b : a;
        ASSERT_EQ(install(i % 2 ? ma : mb), 0);
        // Installing waited until no operation used the old table.
        EXPECT_EQ(old.active.load(), 0);
        if (i % 50 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    stop = true;
    for (auto &t : readers) t.join();
    // No mixed reads, no failures, and both tables were read.
    EXPECT_EQ((Ints{g_mixes.load(), bad.load(), seen1 > 0, seen2 > 0}), (Ints{0, 0, 1, 1}));
    EXPECT_GT(reads.load(), 400);
}

TEST_F(PreferenceManager, ConcurrentInstallWaitsForOperationsInProgress) {
    Fake a(1), b(2);
    std::promise<void> entered, release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<bool> first{true};
    a.onGet = [&] {
        if (!first.exchange(false)) return;
        entered.set_value();
        released.wait();
    };
    ASSERT_EQ(install(methods(a)), 0);
    const auto mb = methods(b);
    auto slow = std::async(std::launch::async, [] { return readNumber(); });
    entered.get_future().wait();
    std::atomic<bool> installed{false};
    auto installer = std::async(std::launch::async, [&] {
        const int rc = install(mb);
        installed = true;
        return rc;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(installed.load());
    // A read that starts while the install waits runs on the new table.
    auto later = std::async(std::launch::async, [] { return readNumber(); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(installed.load());
    release.set_value();
    EXPECT_EQ(installer.get(), 0);
    EXPECT_EQ(slow.get(), 1.0);
    EXPECT_EQ(later.get(), 2.0);
}

TEST_F(PreferenceManager, InstallingFromInsideAnOperationIsRefused) {
    Fake a(1), b;
    const auto mb = methods(b);
    std::string inside;
    bool nested = false;
    a.onGet = [&] {
        if (nested) return;
        nested = true;
        Kerr_ErrorReport *err = nullptr;
        EXPECT_EQ(install(mb, &err), -1);
        inside = ktest::messages(err);
        kerr_DeleteErrorReport(err);
        // A nested read still works.
        EXPECT_EQ(kpmg_GetBooleanPreference("x", "y", 0, nullptr), 1);
    };
    ASSERT_EQ(install(methods(a)), 0);
    a.type = KPMG_BOOLEAN;
    EXPECT_EQ(kpmg_GetBooleanPreference("cat", "pref", 0, nullptr), 1);
    EXPECT_EQ(inside, "Preference methods cannot be installed from inside a preference operation");
}

// The database type with the variable set to each value in turn (NULL:
// unset); the answers of one process, as a number in base 10.
int typesWith(std::initializer_list<const char *> values) {
    int r = 0;
    for (const char *v : values) {
        if (v)
            setenv("ORVEL_PREFERENCE_DATABASE_TYPE", v, 1);
        else
            unsetenv("ORVEL_PREFERENCE_DATABASE_TYPE");
        r = r * 10 + kpmg_GetDataBaseType();
    }
    return r;
}

TEST(PreferenceDatabaseType, LocalOnlyWhenTheVariableSaysSo) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(std::exit(typesWith({"Local"})), testing::ExitedWithCode(1), "");
    EXPECT_EXIT(std::exit(typesWith({nullptr})), testing::ExitedWithCode(2), "");
    EXPECT_EXIT(std::exit(typesWith({"locale"})), testing::ExitedWithCode(2), "");
    // The first answer holds for the rest of the process.
    EXPECT_EXIT(std::exit(typesWith({"LOCAL", "global"})), testing::ExitedWithCode(11), "");
}

}  // namespace
