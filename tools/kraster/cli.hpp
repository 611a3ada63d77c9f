// What the image subcommands share: their option parser, the progress bar
// with Ctrl-C, and the way failures are reported (exit status 1 with the
// report chain, 2 with the usage for wrong usage).
#pragma once

#include <kraster/kraster.h>

#include <map>
#include <string>
#include <vector>

namespace tool {

// Exit statuses.
constexpr int kOk = 0, kFailed = 1, kUsage = 2;

// The arguments of a subcommand: options "--name VALUE", "--name=VALUE" or
// flags "--name" (and "-q"), the rest positional. Parsing fails on an
// option the subcommand does not know or a missing value.
class Args {
  public:
    // valued: options that take a value; flags: those that do not.
    Args(const std::vector<std::string> &argv, const std::vector<std::string> &valued,
         const std::vector<std::string> &flags);
    bool ok() const { return error_.empty(); }
    const std::string &error() const { return error_; }
    const std::vector<std::string> &positional() const { return positional_; }
    bool has(const std::string &name) const { return values_.count(name) > 0; }
    std::string value(const std::string &name, const std::string &fallback = "") const;

  private:
    std::vector<std::string> positional_;
    std::map<std::string, std::string> values_;
    std::string error_;
};

// Prints "kraster CMD: MESSAGE" and the usage line; returns kUsage.
int usageError(const char *command, const char *usage, const std::string &message);

// Prints "kraster CMD: WHAT failed" and the report chain (deleted); returns
// kFailed.
int failed(const char *command, const std::string &what, Kerr_ErrorReport *err);

// Parses "WxH" (two positive integers).
bool parseSize(const std::string &text, long *width, long *height);
// Parses "A,B,..." of numbers.
bool parseNumbers(const std::string &text, std::vector<double> *values);

// A progress bar on the standard error while it is a terminal (and not
// quiet), or always when forced (--progress); Ctrl-C asks the operation to
// stop through the meter's return.
class Progress {
  public:
    Progress(const std::string &label, const Args &args);
    ~Progress();
    Progress(const Progress &) = delete;
    Progress &operator=(const Progress &) = delete;
    const Kimg_Meter *meter() const { return &meter_; }
    void relabel(const std::string &label);
    // True once Ctrl-C was pressed.
    static bool interrupted();

  private:
    static int update(double fraction, const char *task, void *self);
    void finishLine();
    Kimg_Meter meter_;
    std::string label_;
    bool shown_ = false;
    int percent_ = -1;
    bool draw_;
};

}  // namespace tool
