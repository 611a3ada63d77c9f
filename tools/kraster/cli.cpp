// Option parsing, progress and failure reports of the image subcommands.
#include "cli.hpp"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>

namespace tool {
namespace {

std::atomic<bool> g_interrupted{false};

extern "C" void onInterrupt(int) {
    g_interrupted = true;
    // A second Ctrl-C ends the program at once.
    std::signal(SIGINT, SIG_DFL);
}

bool contains(const std::vector<std::string> &v, const std::string &s) {
    return std::find(v.begin(), v.end(), s) != v.end();
}

}  // namespace

Args::Args(const std::vector<std::string> &argv, const std::vector<std::string> &valued,
           const std::vector<std::string> &flags) {
    for (size_t i = 0; i < argv.size() && ok(); ++i) {
        const std::string &a = argv[i];
        if (a == "-q" || a == "--quiet" || a == "--progress") {
            values_[a == "-q" ? "--quiet" : a] = "";
            continue;
        }
        if (a.size() < 3 || a.compare(0, 2, "--") != 0) {
            positional_.push_back(a);
            continue;
        }
        const size_t eq = a.find('=');
        const std::string name = a.substr(0, eq);
        if (contains(flags, name) && eq == std::string::npos) {
            values_[name] = "";
        } else if (!contains(valued, name)) {
            error_ = "unknown option " + name;
        } else if (eq != std::string::npos) {
            values_[name] = a.substr(eq + 1);
        } else if (i + 1 < argv.size()) {
            values_[name] = argv[++i];
        } else {
            error_ = "option " + name + " needs a value";
        }
    }
}

std::string Args::value(const std::string &name, const std::string &fallback) const {
    auto it = values_.find(name);
    return it == values_.end() ? fallback : it->second;
}

int usageError(const char *command, const char *usage, const std::string &message) {
    fprintf(stderr, "kraster %s: %s\nusage: kraster %s %s\n", command, message.c_str(), command,
            usage);
    return kUsage;
}

int failed(const char *command, const std::string &what, Kerr_ErrorReport *err) {
    fprintf(stderr, "kraster %s: %s failed\n", command, what.c_str());
    if (err) {
        kerr_PrintErrorReport(err, 0, 0);
        kerr_DeleteErrorReport(err);
    }
    return kFailed;
}

bool parseSize(const std::string &text, long *width, long *height) {
    char *end = nullptr;
    const long w = strtol(text.c_str(), &end, 10);
    if (end == text.c_str() || (*end != 'x' && *end != 'X')) return false;
    const char *rest = end + 1;
    const long h = strtol(rest, &end, 10);
    if (end == rest || *end || w <= 0 || h <= 0) return false;
    *width = w;
    *height = h;
    return true;
}

bool parseNumbers(const std::string &text, std::vector<double> *values) {
    values->clear();
    size_t at = 0;
    while (at <= text.size()) {
        const size_t comma = std::min(text.find(',', at), text.size());
        const std::string piece = text.substr(at, comma - at);
        char *end = nullptr;
        const double v = strtod(piece.c_str(), &end);
        if (piece.empty() || *end) return false;
        values->push_back(v);
        at = comma + 1;
    }
    return !values->empty();
}

Progress::Progress(const std::string &label, const Args &args)
    : meter_{update, this},
      label_(label),
      draw_(!args.has("--quiet") && (args.has("--progress") || isatty(STDERR_FILENO))) {
    g_interrupted = false;
    std::signal(SIGINT, onInterrupt);
}

Progress::~Progress() {
    finishLine();
    std::signal(SIGINT, SIG_DFL);
}

bool Progress::interrupted() {
    return g_interrupted;
}

void Progress::relabel(const std::string &label) {
    finishLine();
    label_ = label;
    percent_ = -1;
}

void Progress::finishLine() {
    if (shown_) fputc('\n', stderr);
    shown_ = false;
}

int Progress::update(double fraction, const char *task, void *self) {
    auto *p = static_cast<Progress *>(self);
    if (g_interrupted) return 1;
    if (!p->draw_) return 0;
    const int percent = static_cast<int>(std::clamp(fraction, 0.0, 1.0) * 100.0 + 0.5);
    if (percent == p->percent_) return 0;
    p->percent_ = percent;
    constexpr int kWidth = 30;
    const int filled = percent * kWidth / 100;
    fprintf(stderr, "\r%s: %-24.24s [%s%s] %3d%%", p->label_.c_str(), task ? task : "",
            std::string(static_cast<size_t>(filled), '#').c_str(),
            std::string(static_cast<size_t>(kWidth - filled), '.').c_str(), percent);
    fflush(stderr);
    p->shown_ = true;
    return 0;
}

}  // namespace tool
