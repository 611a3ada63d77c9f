// Transform chains inside the library: the model instances with their
// function tables, the chain record, and calls into models that keep to the
// model's thread-safety.
#pragma once

#include <kraster/kthr.h>
#include <kraster/kxfr.h>

#include <string>
#include <vector>

#include "core/report.hpp"

namespace kr::xfr {

// The function table of a model, in the order a plug-in is asked for it.
#define KXFR_MODEL_FUNCTIONS(X)                                             \
    X(InstanceTitleListGet, Kxfr_GMInstanceTitleListGetFunc, true)          \
    X(InstanceIsThreadsafe, Kxfr_GMInstanceIsThreadsafeFunc, false)         \
    X(XFormConvertToMIF, Kxfr_XFormConvertToMIFFunc, false)                 \
    X(XFormConvertFromMIF, Kxfr_XFormConvertFromMIFFunc, false)             \
    X(XFormSscanf, Kxfr_XFormSscanfFunc, false)                             \
    X(XFormSprintf, Kxfr_XFormSprintfFunc, false)                           \
    X(XFormDestroy, Kxfr_XFormDestroyFunc, true)                            \
    X(XFormIsUsable, Kxfr_XFormIsUsableFunc, false)                         \
    X(XFormIsSame, Kxfr_XFormIsSameFunc, false)                             \
    X(XFormIsInverse, Kxfr_XFormIsInverseFunc, false)                       \
    X(XFormCopy, Kxfr_XFormCopyFunc, true)                                  \
    X(XFormInvert, Kxfr_XFormInvertFunc, true)                              \
    X(XFormAffinePrepend, Kxfr_XFormAffineFoldFunc, false)                  \
    X(XFormAffineAppend, Kxfr_XFormAffineFoldFunc, false)                   \
    X(XFormAffineExtract, Kxfr_XFormAffineExtractFunc, false)               \
    X(XFormTransform, Kxfr_XFormTransformFunc, true)                        \
    X(XFormTransformWindow, Kxfr_XFormTransformWindowFunc, false)           \
    X(XFormNameParameterListGet, Kxfr_XFormNameParameterListGetFunc, false) \
    X(XFormNameParameterListSet, Kxfr_XFormNameParameterListSetFunc, false)

struct Functions {
#define KXFR_FIELD(name, type, required) type name = nullptr;
    KXFR_MODEL_FUNCTIONS(KXFR_FIELD)
#undef KXFR_FIELD
};

// An opened model: one per plug-in library (or the built-in identity),
// shared by every step that uses it.
struct Instance {
    std::string name;  // plug-in name
    std::string path;
    void *library = nullptr;  // null for the built-in model
    bool threadSafe = false;
    std::vector<std::string> titles;
    Functions fn;
    long references = 0;
};

// Holds the thread-unsafe section while a model that is not thread-safe is
// being called.
class ModelCall {
  public:
    explicit ModelCall(const Instance *m) : held_(!m->threadSafe) {
        if (held_) kthr_ThreadUnsafeCodeEnter(0);
    }
    ~ModelCall() {
        if (held_) kthr_ThreadUnsafeCodeExit();
    }
    ModelCall(const ModelCall &) = delete;
    ModelCall &operator=(const ModelCall &) = delete;

  private:
    bool held_;
};

// Calls one function of a model under its thread-safety rule.
template <class F, class... A>
auto call(const Instance *m, F f, A... args) {
    ModelCall guard(m);
    return f(args...);
}

// Opens the model that serves title (a new reference), or reports
// "%s:  Unknown Geometric Model". gmInstanceClose drops a reference.
Instance *gmInstanceOpen(const char *title, int32_t *titleIndex, const char *fn, Report &e);
Instance *gmInstanceReference(Instance *m);
void gmInstanceClose(Instance *m);
Instance *identityInstance();
// A model's own export (a constructor) by name: "%s: Function not found in %s".
void *gmInstanceFunctionCall(Instance *m, const char *function, const char *fn, Report &e);

struct Step {
    Instance *model = nullptr;
    int32_t titleIndex = 0;
    void *data = nullptr;
    const char *title() const { return model->titles[titleIndex].c_str(); }
};

// Frees a step's data and drops its model reference.
void stepRelease(Step &s);
// A deep copy of a step (the model gains a reference).
bool stepCopy(const Step &from, Step &to, const char *fn, Report &e);

}  // namespace kr::xfr

struct Kxfr_XForm {
    std::vector<kr::xfr::Step> steps;
    bool compacted = false;
    ~Kxfr_XForm() {
        for (auto &s : steps) kr::xfr::stepRelease(s);
    }
};

namespace kr::xfr {

Kxfr_XForm *newChain(const char *fn, Report &e);
// A chain of one step of the model titled title made by the model's
// constructor named function, called as ctor(args..., err).
template <class F, class... A>
Kxfr_XForm *construct(const char *title, const char *function, const char *fn, Report &e,
                      A... args) {
    int32_t index = 0;
    Instance *m = gmInstanceOpen(title, &index, fn, e);
    if (!m) return nullptr;
    auto ctor = reinterpret_cast<F>(gmInstanceFunctionCall(m, function, fn, e));
    void *data = ctor ? call(m, ctor, args..., e.out()) : nullptr;
    if (!data) {
        if (ctor) e.error(fn, 40, "%s failed", function);
        gmInstanceClose(m);
        return nullptr;
    }
    Kxfr_XForm *x = newChain(fn, e);
    if (!x) {
        call(m, m->fn.XFormDestroy, data);
        gmInstanceClose(m);
        return nullptr;
    }
    x->steps.push_back(Step{m, index, data});
    return x;
}

}  // namespace kr::xfr
