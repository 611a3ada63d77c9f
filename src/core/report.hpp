// Internal helper for raising reports: every fallible operation binds its
// caller's report-pointer address to one of these at entry.
#pragma once

#include <kraster/kerr.h>

namespace kr {

class Report {
  public:
    // Clears the caller's report pointer; a NULL address is replaced by a local
    // slot whose chain is deleted when the operation returns.
    explicit Report(Kerr_ErrorReport **err) : p_(err ? err : &local_) { *p_ = nullptr; }
    ~Report() {
        if (p_ == &local_) kerr_DeleteErrorReport(local_);
    }
    Report(const Report &) = delete;
    Report &operator=(const Report &) = delete;

    // Address to hand to a callee; it must hold NULL when handed on.
    Kerr_ErrorReport **out() { return p_; }
    bool failed() const { return *p_ != nullptr; }
    // True when the caller gave a report address of its own.
    bool wanted() const { return p_ != &local_; }
    Kerr_ErrorReport *get() const { return *p_; }
    void clear() { kerr_DeleteErrorReportEx(p_); }

    // Raises a report (severity 2) that wraps whatever a callee left here.
    void error(const char *function, int code, const char *format = nullptr, ...)
        KRASTER_PRINTF(4, 5);
    // Same with an explicit severity.
    void raise(const char *function, int code, uint32_t severity, const char *format, ...)
        KRASTER_PRINTF(5, 6);
    // Raises a report wrapping a given callee chain (taking ownership of it)
    // in front of whatever is here already.
    void wrap(Kerr_ErrorReport *callee, const char *function, int code,
              const char *format = nullptr, ...) KRASTER_PRINTF(5, 6);

  private:
    Kerr_ErrorReport **p_;
    Kerr_ErrorReport *local_ = nullptr;
};

// Prints a warning (severity 1) on the spot and drops it; an optional callee
// chain is printed beneath it and freed.
void warn(Kerr_ErrorReport *callee, const char *function, int code, const char *format, ...)
    KRASTER_PRINTF(4, 5);

}  // namespace kr
