#include "support/ktest.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace ktest {

TempDir::TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "kraster-test-XXXXXX").string();
    if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::string printed(const Kerr_ErrorReport *report, int endUser) {
    testing::internal::CaptureStderr();
    kerr_PrintErrorReportNoEML(report, endUser);
    return testing::internal::GetCapturedStderr();
}

std::string messages(const Kerr_ErrorReport *report) {
    std::string s;
    for (const Kerr_ErrorReport *r = report; r; r = r->next) {
        if (!s.empty()) s += " | ";
        s += r->message ? r->message : "-";
    }
    return s;
}

bool hasCode(const Kerr_ErrorReport *report, const char *function, int code) {
    for (const Kerr_ErrorReport *r = report; r; r = r->next)
        if (r->code == code && r->function && std::string(r->function) == function) return true;
    return false;
}

int runWithAllocationFailures(const std::function<bool(Kerr_ErrorReport **err)> &op,
                              const std::function<void()> &undo, int maxRuns) {
    for (int n = 0; n < maxRuns; ++n) {
        const long before = kmsc_HeapLiveBlocks();
        Kerr_ErrorReport *err = nullptr;
        kmsc_HeapFailAfter(n);
        const bool ok = op(&err);
        kmsc_HeapFailAfter(-1);
        if (ok) {
            kerr_DeleteErrorReport(err);
            undo();
            EXPECT_EQ(kmsc_HeapLiveBlocks(), before) << "leak after the successful run " << n;
            return n;
        }
        // Out of memory while creating the report itself may lose it; the
        // operation must still have failed cleanly.
        kerr_DeleteErrorReport(err);
        undo();
        const long after = kmsc_HeapLiveBlocks();
        if (after != before) {
            ADD_FAILURE() << "heap blocks leaked when allocation " << n << " failed: " << before
                          << " -> " << after;
            return -1;
        }
    }
    ADD_FAILURE() << "operation never succeeded";
    return -1;
}

int runWithEachAllocationFailing(const std::function<bool(Kerr_ErrorReport **err)> &op,
                                 const std::function<void()> &undo,
                                 const std::function<bool()> &verify) {
    const long before = kmsc_HeapLiveBlocks();
    // One run: a failure must be reported, a success must leave no report
    // and pass verify; afterwards nothing may be left allocated.
    const auto run = [&](long n, long total) {
        Kerr_ErrorReport *err = nullptr;
        kmsc_HeapFailNth(n);
        const bool ok = op(&err);
        const long made = kmsc_HeapFailNth(0);
        const std::string report = err ? messages(err) : "";
        kerr_DeleteErrorReport(err);
        std::string fault;
        if (!n && !ok) fault = "failed: " + report;
        if (n && !ok && report.empty()) fault = "failed without a report";
        if (ok && !report.empty()) fault = "succeeded with the report " + report;
        if (ok && fault.empty() && verify && !verify()) fault = "succeeded with a wrong result";
        undo();
        if (fault.empty() && kmsc_HeapLiveBlocks() != before) fault = "leaked heap blocks";
        if (!fault.empty()) {
            ADD_FAILURE() << (n ? "with allocation " + std::to_string(n) + " of " +
                                      std::to_string(total) + " failing"
                                : std::string("with the heap intact"))
                          << ", the operation " << fault;
            return -1L;
        }
        return made;
    };
    const long total = run(0, 0);
    if (total < 0) return -1;
    for (long n = 1; n <= total; ++n)
        if (run(n, total) < 0) return -1;
    return static_cast<int>(total);
}

std::string take(char *s) {
    std::string r = s ? s : "(NULL)";
    kmsc_HeapFree(s);
    return r;
}

std::string readFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::string readFile(FILE *f) {
    std::string s;
    rewind(f);
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, f)) > 0) s.append(buffer, n);
    return s;
}

std::string printed(const std::function<int(FILE *)> &print) {
    FILE *f = tmpfile();
    if (!f) return "";
    const std::string s = print(f) == 0 ? readFile(f) : "";
    fclose(f);
    return s;
}

void writeFile(const std::string &path, const std::string &contents) {
    std::ofstream out(path, std::ios::binary);
    out << contents;
}

PrintedReports::PrintedReports() {
    kerr_SetAltErrorFunction(&PrintedReports::hook, this);
}

PrintedReports::~PrintedReports() {
    kerr_SetAltErrorFunction(nullptr, nullptr);
}

void PrintedReports::hook(void *self, Kerr_ErrorReport *report, int, Kerr_ErrorReport **) {
    auto *me = static_cast<PrintedReports *>(self);
    Entry e{report ? report->severity : 0u, report && report->function ? report->function : "",
            report ? report->code : 0, messages(report)};
    std::lock_guard<std::mutex> lock(me->mutex_);
    me->entries_.push_back(std::move(e));
}

std::vector<PrintedReports::Entry> PrintedReports::entries() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return entries_;
}

std::vector<std::string> PrintedReports::headlines() const {
    std::vector<std::string> out;
    for (const auto &e : entries()) out.push_back(e.messages.substr(0, e.messages.find(" | ")));
    return out;
}

bool PrintedReports::contains(const std::string &text) const {
    for (const auto &e : entries())
        if (e.messages.find(text) != std::string::npos) return true;
    return false;
}

void PrintedReports::clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    entries_.clear();
}

ScopedEnv::ScopedEnv(const char *name, const char *value) : name_(name) {
    const char *old = getenv(name);
    had_ = old != nullptr;
    if (old) old_ = old;
    if (value)
        setenv(name, value, 1);
    else
        unsetenv(name);
}

ScopedEnv::~ScopedEnv() {
    if (had_)
        setenv(name_.c_str(), old_.c_str(), 1);
    else
        unsetenv(name_.c_str());
}

void expectRefusals(const std::vector<Refusal> &refusals) {
    for (const Refusal &c : refusals) {
        SCOPED_TRACE(std::string(c.function) + " " + std::to_string(c.code) + " " + c.message);
        Err e;
        EXPECT_TRUE(c.fails(&e));
        EXPECT_TRUE(hasCode(e.r, c.function, c.code)) << messages(e.r);
        EXPECT_NE(messages(e.r).find(c.message), std::string::npos) << messages(e.r);
    }
}

}  // namespace ktest
