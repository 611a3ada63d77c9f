// The operator table of BaseData: operator descriptions, the check table,
// one-time table initialisation and the dispatchers.
#include <kraster/kmsc.h>

#include <array>
#include <atomic>
#include <cstring>
#include <mutex>
#include <utility>

#include "data/kgda_op_internal.hpp"

namespace kr::gdaop {
namespace {

constexpr int kOps = KGDA_OPERATOR_COUNT;

#define KGDA_OPERATOR_NAME_(name) "kgda_" #name,
const char *const g_names[kOps] = {KGDA_OPERATORS(KGDA_OPERATOR_NAME_)};
#undef KGDA_OPERATOR_NAME_

constexpr OpSpec binary{Shape::Binary};
constexpr OpSpec same{Shape::Unary, Result::Same};
constexpr OpSpec toF64{Shape::Unary, Result::F64};
constexpr OpSpec toF64OrC128{Shape::Unary, Result::F64OrC128};
constexpr OpSpec convertTo(int32_t t) {
    return {Shape::Convert, Result::Target, t};
}
constexpr OpSpec stack(int32_t lo, int32_t hi = INT32_MAX, int32_t outputs = 1) {
    return {Shape::Stack, Result::Same, 0, lo, hi, outputs};
}

std::array<OpSpec, kOps> makeSpecs() {
    std::array<OpSpec, kOps> s{};
    s.fill(binary);
    for (int op : {KGDA_OP_SaoBitNeg,  KGDA_OP_SaoNot,    KGDA_OP_SaoEven,   KGDA_OP_SaoOdd,
                   KGDA_OP_FuncCeil,   KGDA_OP_FuncFloor, KGDA_OP_FuncRound, KGDA_OP_FuncTrunc,
                   KGDA_OP_FuncAbs,    KGDA_OP_SaoNeg,    KGDA_OP_SaoInc,    KGDA_OP_SaoDec,
                   KGDA_OP_SaoSign,    KGDA_OP_SaoFill,   KGDA_OP_SaoCopy,   KGDA_OP_SaoConj,
                   KGDA_OP_SaoNonZero, KGDA_OP_SaoWhole,  KGDA_OP_SaoStep,   KGDA_OP_SaoRect,
                   KGDA_OP_SaoTrian,   KGDA_OP_SaoSinc})
        s[op] = same;
    for (int op = KGDA_OP_FuncSin; op <= KGDA_OP_FuncSqrt; ++op) s[op] = toF64OrC128;
    s[KGDA_OP_SaoInv] = toF64OrC128;
    for (int op :
         {KGDA_OP_FuncFact, KGDA_OP_FuncGamma, KGDA_OP_SaoReal, KGDA_OP_SaoImag, KGDA_OP_SaoAngle})
        s[op] = toF64;
    const int32_t targets[] = {KGDA_TYPE_U8,  KGDA_TYPE_S8,  KGDA_TYPE_U16, KGDA_TYPE_S16,
                               KGDA_TYPE_U32, KGDA_TYPE_S32, KGDA_TYPE_F32, KGDA_TYPE_F64,
                               KGDA_TYPE_C64, KGDA_TYPE_C128};
    for (int i = 0; i < 10; ++i) s[KGDA_OP_ConvertToU8 + i] = convertTo(targets[i]);
    for (int i = 0; i < 6; ++i) s[KGDA_OP_ConvertRoundToU8 + i] = convertTo(targets[i]);
    for (int op :
         {KGDA_OP_GpfInten, KGDA_OP_GpfHue, KGDA_OP_GpfSatur, KGDA_OP_GpfRed, KGDA_OP_GpfGreen,
          KGDA_OP_GpfBlue, KGDA_OP_GpfHSVtoRed, KGDA_OP_GpfHSVtoGreen, KGDA_OP_GpfHSVtoBlue})
        s[op] = stack(3, 3);
    for (int op : {KGDA_OP_GpfCYMKtoRed, KGDA_OP_GpfCYMKtoGreen, KGDA_OP_GpfCYMKtoBlue})
        s[op] = stack(4, 4);
    for (int op = KGDA_OP_GpfMean; op <= KGDA_OP_GpfIndex; ++op) s[op] = stack(1);
    s[KGDA_OP_GpfRank] = stack(1);
    s[KGDA_OP_GpfPick] = stack(2);
    s[KGDA_OP_GpfCondition] = stack(1);
    s[KGDA_OP_GpfIfOr] = stack(3, 3);
    s[KGDA_OP_GpfFillArray] = stack(1, INT32_MAX, 0);
    s[KGDA_OP_GpfRgbToIhs] = stack(3, 3, 3);
    s[KGDA_OP_GpfIhsToRgb] = stack(3, 3, 3);
    s[KGDA_OP_MaoMatrixMul] = {Shape::MatrixMul};
    s[KGDA_OP_MaoMatrixDiv] = {Shape::MatrixDiv};
    s[KGDA_OP_SaoMatrixInv] = {Shape::MatrixInv};
    s[KGDA_OP_SaoEigenVector] = {Shape::EigenVector};
    s[KGDA_OP_SaoEigenValue] = {Shape::EigenValue};
    s[KGDA_OP_MaoMatrixTrRaster] = {Shape::TrRaster};
    s[KGDA_OP_SaoLUTtransformation] = {Shape::Lut};
    s[KGDA_OP_SaoConvertToBinValue] = {Shape::BinValue};
    return s;
}

const std::array<OpSpec, kOps> g_specs = makeSpecs();

// ---- Checks -----------------------------------------------------------------

bool aligned(const Kgda_BaseData *b) {
    const auto a = static_cast<uintptr_t>(b->numbytes >= 8 ? 8 : b->numbytes);
    return a == 0 || reinterpret_cast<uintptr_t>(b->windowStart) % a == 0;
}

bool arrayOk(const Kgda_BaseData *b, const char *fn, const char *what, int32_t index,
             kr::Report &e) {
    if (!checkArray(b, fn, 8, e)) {
        e.error(fn, 8, "%s %d is not a valid array", what, index);
        return false;
    }
    if (!aligned(b)) {
        e.error(fn, 8, "%s %d is not aligned for its data type", what, index);
        return false;
    }
    return true;
}

bool stackOk(const Kgda_BaseDataStack *s, const char *fn, const char *what, kr::Report &e) {
    if (!s || s->numberOfLayers < 1 || !s->layers) {
        e.error(fn, 7, "The %s stack is NULL or has no layers", what);
        return false;
    }
    for (int32_t i = 0; i < s->numberOfLayers; ++i)
        if (!arrayOk(s->layers[i], fn, what, i, e)) return false;
    return true;
}

// What every implementation needs to walk its arrays safely.
bool structureOk(const char *fn, const Kgda_BaseDataStack *dest, const Kgda_ArgumentList *args,
                 bool layersBroadcast, kr::Report &e) {
    if (!stackOk(dest, fn, "destination", e)) return false;
    if (!args || args->count < 0 || (args->count > 0 && !args->stacks)) {
        e.error(fn, 7, "The argument list is NULL or malformed");
        return false;
    }
    for (int32_t k = 0; k < args->count; ++k) {
        const Kgda_BaseDataStack *s = args->stacks[k];
        if (!stackOk(s, fn, "argument", e)) return false;
        if (layersBroadcast && s->numberOfLayers != 1 &&
            s->numberOfLayers != dest->numberOfLayers) {
            e.error(fn, 6, "Argument %d has %d layers for a destination of %d", k,
                    s->numberOfLayers, dest->numberOfLayers);
            return false;
        }
        for (int32_t i = 0; i < s->numberOfLayers; ++i)
            if (s->layers[i]->objecttype == KGDA_SCALAR_OBJECT && s->layers[i]->numelements < 1) {
                e.error(fn, 8, "Argument %d is a scalar without a value", k);
                return false;
            }
    }
    if (const Kgda_BaseData *m = args->mask) {
        if (!arrayOk(m, fn, "mask", 0, e)) return false;
        if (m->numbytes != 1 || m->datatype > KGDA_TYPE_S8) {
            e.error(fn, 9, "The mask must have one byte per element, not %s",
                    typeName(m->datatype));
            return false;
        }
        for (int32_t i = 0; i < dest->numberOfLayers; ++i) {
            const Kgda_BaseData *d = dest->layers[i];
            if (m->numrows != d->numrows || m->numcolumns != d->numcolumns) {
                e.error(fn, 9, "The mask is %d x %d for a destination of %d x %d", m->numrows,
                        m->numcolumns, d->numrows, d->numcolumns);
                return false;
            }
        }
    }
    return true;
}

bool sameSize(const Kgda_BaseData *a, const Kgda_BaseData *d) {
    return a->objecttype == KGDA_SCALAR_OBJECT ||
           (a->numrows == d->numrows && a->numcolumns == d->numcolumns);
}

constexpr const char *kObjectMismatch =
    "The object type is not matched between the input and output data";
constexpr const char *kTypeMismatch =
    "The data type is not matched between the input and output data";
constexpr const char *kSizeMismatch =
    "The data size is not matched between the input and output data";

// Size of one argument against a destination layer (code 4); arrays of
// other object types are addressed by row and column.
bool placeOk(const char *fn, const Kgda_BaseData *a, const Kgda_BaseData *d, kr::Report &e) {
    if (!sameSize(a, d)) {
        e.error(fn, 4, kSizeMismatch);
        return false;
    }
    return true;
}

int binaryCheck(const Kgda_BaseDataStack *dest, const Kgda_ArgumentList *args, kr::Report &e) {
    static const char *const fn = "kgda_BinaryOpCheck";
    if (!structureOk(fn, dest, args, true, e)) return -1;
    if (args->count < 2) {
        e.error(fn, 1, "The source data contains less than two stacks");
        return -1;
    }
    for (int32_t i = 0; i < dest->numberOfLayers; ++i) {
        const Kgda_BaseData *d = dest->layers[i];
        if (layerFor(args->stacks[0], i)->objecttype != d->objecttype &&
            layerFor(args->stacks[1], i)->objecttype != d->objecttype) {
            e.error(fn, 2, kObjectMismatch);
            return -1;
        }
        for (int32_t k = 0; k < args->count; ++k) {
            const Kgda_BaseData *a = layerFor(args->stacks[k], i);
            if (a->datatype != d->datatype) {
                e.error(fn, 3, kTypeMismatch);
                return -1;
            }
            if (!placeOk(fn, a, d, e)) return -1;
        }
    }
    return 0;
}

int32_t resultType(const OpSpec &s, int32_t argType) {
    switch (s.result) {
        case Result::Same:
            return argType;
        case Result::F64:
            return KGDA_TYPE_F64;
        case Result::F64OrC128:
            return isComplex(argType) ? KGDA_TYPE_C128 : KGDA_TYPE_F64;
        case Result::Target:
            break;
    }
    return s.target;
}

int unaryCheck(int op, const Kgda_BaseDataStack *dest, const Kgda_ArgumentList *args,
               kr::Report &e) {
    const OpSpec &s = g_specs[op];
    const char *fn = s.shape == Shape::Convert ? "kgda_ConvertCheck" : "kgda_UnaryOpCheck";
    if (!structureOk(fn, dest, args, true, e)) return -1;
    if (args->count != 1) {
        e.error(fn, 1, "The source data must be one stack, not %d", args->count);
        return -1;
    }
    for (int32_t i = 0; i < dest->numberOfLayers; ++i) {
        const Kgda_BaseData *d = dest->layers[i], *a = layerFor(args->stacks[0], i);
        if (a->datatype == KGDA_STRING_TYPE_CODE || d->datatype != resultType(s, a->datatype)) {
            e.error(fn, 3, kTypeMismatch);
            return -1;
        }
        // SaoFill takes the first element of an argument of any shape.
        if (op == KGDA_OP_SaoFill ? a->numelements < 1 : !sameSize(a, d)) {
            e.error(fn, 4, kSizeMismatch);
            return -1;
        }
    }
    return 0;
}

int stackCheck(int op, const Kgda_BaseDataStack *dest, const Kgda_ArgumentList *args,
               kr::Report &e) {
    static const char *const fn = "kgda_StackOpCheck";
    const OpSpec &s = g_specs[op];
    if (!structureOk(fn, dest, args, false, e)) return -1;
    const int32_t m = valueCount(args);
    if (m < s.minValues || m > s.maxValues) {
        if (s.minValues == s.maxValues)
            e.error(fn, 1, "%s takes %d values, not %d", opName(op), s.minValues, m);
        else
            e.error(fn, 1, "%s takes at least %d values, not %d", opName(op), s.minValues, m);
        return -1;
    }
    const int32_t outputs = s.outputs > 0 ? s.outputs : m;
    if (dest->numberOfLayers != outputs) {
        e.error(fn, 5, "%s writes %d destination layers, not %d", opName(op), outputs,
                dest->numberOfLayers);
        return -1;
    }
    const Kgda_BaseData *d0 = dest->layers[0];
    for (int32_t i = 0; i < dest->numberOfLayers; ++i) {
        const Kgda_BaseData *d = dest->layers[i];
        if (!isScalarNumber(d->datatype) || d->objecttype != d0->objecttype ||
            d->numrows != d0->numrows || d->numcolumns != d0->numcolumns) {
            e.error(fn, 3, "The destination layers must be integer or real arrays of one shape");
            return -1;
        }
    }
    for (int32_t j = 0; j < m; ++j) {
        const Kgda_BaseData *a = valueAt(args, j);
        if (!isScalarNumber(a->datatype)) {
            e.error(fn, 3, kTypeMismatch);
            return -1;
        }
        if (!placeOk(fn, a, d0, e)) return -1;
    }
    return 0;
}

bool matrixType(int32_t t, bool realOnly) {
    return realOnly ? isReal(t) : (isReal(t) || isComplex(t));
}

int matrixCheck(int op, const Kgda_BaseDataStack *dest, const Kgda_ArgumentList *args,
                kr::Report &e) {
    static const char *const fn = "kgda_MatrixOpCheck";
    const Shape shape = g_specs[op].shape;
    if (!structureOk(fn, dest, args, true, e)) return -1;
    const bool unary =
        shape == Shape::MatrixInv || shape == Shape::EigenVector || shape == Shape::EigenValue;
    if (unary ? args->count != 1 : args->count < 2) {
        e.error(fn, 1,
                unary ? "The source data must be one stack"
                      : "The source data contains less than two stacks");
        return -1;
    }
    const bool realOnly = shape == Shape::EigenVector || shape == Shape::EigenValue;
    for (int32_t i = 0; i < dest->numberOfLayers; ++i) {
        const Kgda_BaseData *d = dest->layers[i];
        if (!matrixType(d->datatype, realOnly)) {
            e.error(fn, 3, "Matrix operators take %s data, not %s",
                    realOnly ? "f32 or f64" : "f32, f64, c64 or c128", typeName(d->datatype));
            return -1;
        }
        for (int32_t k = 0; k < args->count; ++k)
            if (layerFor(args->stacks[k], i)->datatype != d->datatype) {
                e.error(fn, 3, kTypeMismatch);
                return -1;
            }
        const Kgda_BaseData *a0 = layerFor(args->stacks[0], i);
        int32_t rows = a0->numrows, columns = a0->numcolumns;
        bool ok = true;
        switch (shape) {
            case Shape::MatrixMul:
                for (int32_t k = 1; k < args->count && ok; ++k) {
                    const Kgda_BaseData *a = layerFor(args->stacks[k], i);
                    ok = a->numrows == columns;
                    columns = a->numcolumns;
                }
                break;
            case Shape::MatrixDiv:
                for (int32_t k = 1; k < args->count && ok; ++k) {
                    const Kgda_BaseData *a = layerFor(args->stacks[k], i);
                    ok = a->numrows == columns && a->numcolumns == columns;
                }
                break;
            case Shape::MatrixInv:
            case Shape::EigenVector:
                ok = rows == columns;
                break;
            default:  // EigenValue: n eigenvalues in one row or one column
                ok = rows == columns;
                if ((d->numrows == rows && d->numcolumns == 1) ||
                    (d->numrows == 1 && d->numcolumns == rows))
                    rows = d->numrows, columns = d->numcolumns;
                break;
        }
        if (!ok || rows < 1 || columns < 1 || d->numrows != rows || d->numcolumns != columns) {
            e.error(fn, 4, kSizeMismatch);
            return -1;
        }
    }
    return 0;
}

int trRasterCheck(const Kgda_BaseDataStack *dest, const Kgda_ArgumentList *args, kr::Report &e) {
    static const char *const fn = "kgda_MatrixTrRasterCheck";
    if (!structureOk(fn, dest, args, false, e)) return -1;
    if (args->count != 2 || args->stacks[0]->numberOfLayers != 1) {
        e.error(fn, 1, "The source data must be a one-layer matrix and a stack of layers");
        return -1;
    }
    const Kgda_BaseData *m = args->stacks[0]->layers[0];
    const Kgda_BaseDataStack *layers = args->stacks[1];
    if (!isScalarNumber(m->datatype)) {
        e.error(fn, 3, kTypeMismatch);
        return -1;
    }
    if (m->numcolumns != layers->numberOfLayers || m->numrows != dest->numberOfLayers) {
        e.error(fn, 4, "A %d x %d matrix maps %d layers to %d, not %d to %d", m->numrows,
                m->numcolumns, m->numcolumns, m->numrows, layers->numberOfLayers,
                dest->numberOfLayers);
        return -1;
    }
    const Kgda_BaseData *d0 = dest->layers[0];
    for (int32_t i = 0; i < dest->numberOfLayers; ++i) {
        const Kgda_BaseData *d = dest->layers[i];
        if (!isScalarNumber(d->datatype) || d->objecttype != d0->objecttype ||
            d->numrows != d0->numrows || d->numcolumns != d0->numcolumns) {
            e.error(fn, 3, "The destination layers must be integer or real arrays of one shape");
            return -1;
        }
    }
    for (int32_t j = 0; j < layers->numberOfLayers; ++j) {
        const Kgda_BaseData *a = layers->layers[j];
        if (!isScalarNumber(a->datatype)) {
            e.error(fn, 3, kTypeMismatch);
            return -1;
        }
        if (!placeOk(fn, a, d0, e)) return -1;
    }
    return 0;
}

int lutCheck(const Kgda_BaseDataStack *dest, const Kgda_ArgumentList *args, kr::Report &e) {
    static const char *const fn = "kgda_LUTCheck";
    if (!structureOk(fn, dest, args, true, e)) return -1;
    if (args->count != 2) {
        e.error(fn, 1, "The source data must be a stack of values and a stack of tables");
        return -1;
    }
    for (int32_t i = 0; i < dest->numberOfLayers; ++i) {
        const Kgda_BaseData *d = dest->layers[i], *v = layerFor(args->stacks[0], i),
                            *t = layerFor(args->stacks[1], i);
        if (!isScalarNumber(v->datatype) || t->datatype != d->datatype ||
            d->datatype == KGDA_STRING_TYPE_CODE) {
            e.error(fn, 3, kTypeMismatch);
            return -1;
        }
        if (t->numelements < 1 || (t->numrows != 1 && t->numcolumns != 1)) {
            e.error(fn, 4, "The look-up table must be one row or one column, not %d x %d",
                    t->numrows, t->numcolumns);
            return -1;
        }
        if (!placeOk(fn, v, d, e)) return -1;
    }
    return 0;
}

int binValueCheck(const Kgda_BaseDataStack *dest, const Kgda_ArgumentList *args, kr::Report &e) {
    static const char *const fn = "kgda_BinValueCheck";
    if (!structureOk(fn, dest, args, true, e)) return -1;
    if (args->count != 1) {
        e.error(fn, 1, "The source data must be one stack, not %d", args->count);
        return -1;
    }
    for (int32_t i = 0; i < dest->numberOfLayers; ++i) {
        const Kgda_BaseData *d = dest->layers[i], *a = layerFor(args->stacks[0], i);
        if (!isScalarNumber(a->datatype) || d->datatype != KGDA_TYPE_F64) {
            e.error(fn, 3, kTypeMismatch);
            return -1;
        }
        if (!a->tag) {
            e.error(fn, 5, "The bins carry no bin function");
            return -1;
        }
        if (!placeOk(fn, a, d, e)) return -1;
    }
    return 0;
}

int checkWith(int op, const Kgda_BaseDataStack *dest, const Kgda_ArgumentList *args,
              Kerr_ErrorReport **err) {
    kr::Report e(err);
    switch (g_specs[op].shape) {
        case Shape::Binary:
            return binaryCheck(dest, args, e);
        case Shape::Unary:
        case Shape::Convert:
            return unaryCheck(op, dest, args, e);
        case Shape::Stack:
            return stackCheck(op, dest, args, e);
        case Shape::TrRaster:
            return trRasterCheck(dest, args, e);
        case Shape::Lut:
            return lutCheck(dest, args, e);
        case Shape::BinValue:
            return binValueCheck(dest, args, e);
        default:
            return matrixCheck(op, dest, args, e);
    }
}

template <int Op>
int checkOf(const Kgda_BaseDataStack *dest, const Kgda_ArgumentList *args, Kerr_ErrorReport **err) {
    return checkWith(Op, dest, args, err);
}

struct CheckTable {
    Kgda_CheckFunc f[kOps][KGDA_OBJECT_TYPE_COUNT];
};

template <size_t... Op>
constexpr CheckTable makeChecks(std::index_sequence<Op...>) {
    CheckTable t{};
    for (int o = 0; o < KGDA_OBJECT_TYPE_COUNT; ++o) ((t.f[Op][o] = &checkOf<Op>), ...);
    return t;
}

constexpr CheckTable g_checks = makeChecks(std::make_index_sequence<kOps>{});

// ---- Operator table -----------------------------------------------------------

using Accessor = const Kgda_OperatorTable *(*)(void);
#define KGDA_OPERATOR_ACCESSOR_ENTRY_(name) &kmsc_AddressOf_kgda_##name,
const Accessor g_accessors[kOps] = {KGDA_OPERATORS(KGDA_OPERATOR_ACCESSOR_ENTRY_)};
#undef KGDA_OPERATOR_ACCESSOR_ENTRY_

const Kgda_OperatorTable *g_tables[kOps];
std::atomic<bool> g_ready{false};
std::mutex g_tableMutex;

// Replaces each accessor by the table it returns, once per process.
const Kgda_OperatorTable *const *operatorTables() {
    if (!g_ready.load(std::memory_order_acquire)) {
        std::lock_guard<std::mutex> lock(g_tableMutex);
        if (!g_ready.load(std::memory_order_relaxed)) {
            for (int op = 0; op < kOps; ++op) g_tables[op] = g_accessors[op]();
            g_ready.store(true, std::memory_order_release);
        }
    }
    return g_tables;
}

// The data type that selects the implementation: the first layer of the
// last argument, or the destination's first layer without arguments.
bool selectingType(const char *fn, const Kgda_BaseDataStack *dest, const Kgda_ArgumentList *args,
                   int32_t *type, int32_t *object, kr::Report &e) {
    const Kgda_BaseData *d =
        dest && dest->numberOfLayers > 0 && dest->layers ? dest->layers[0] : nullptr;
    if (!d || !args || args->count < 0 || (args->count > 0 && !args->stacks)) {
        e.error(fn, 1, "destdatastack or sourcedatastackarray is NULL !");
        return false;
    }
    const Kgda_BaseData *s = d;
    if (args->count > 0) {
        const Kgda_BaseDataStack *last = args->stacks[args->count - 1];
        s = last && last->numberOfLayers > 0 && last->layers ? last->layers[0] : nullptr;
    }
    if (!s) {
        e.error(fn, 1, "destdatastack or sourcedatastackarray is NULL !");
        return false;
    }
    if (!validType(s->datatype) || !validObject(d->objecttype)) {
        e.error(fn, 4, "Invalid data type %d or object type %d", s->datatype, d->objecttype);
        return false;
    }
    *type = s->datatype;
    *object = d->objecttype;
    return true;
}

int runEntry(const Kgda_OperatorTable *table, const char *fn, int code, Kgda_BaseDataStack *dest,
             const Kgda_ArgumentList *args, kr::Report &e) {
    int32_t type = 0, object = 0;
    if (!selectingType(fn, dest, args, &type, &object, e)) return -1;
    const Kgda_OperatorFunc f = table->entries[object][type].function;
    if (!f) {
        e.error(fn, 4, "The operator table has no entry for %s data", typeName(type));
        return -1;
    }
    if (f(dest, args, e.out()) != 0) {
        e.error(fn, code);
        return -1;
    }
    return 0;
}

int stackOperation(const char *fn, int checkCode, int opCode, int32_t op, Kgda_BaseDataStack *dest,
                   const Kgda_ArgumentList *args, kr::Report &e) {
    if (op < 0 || op >= kOps) {
        e.error(fn, 4, "Invalid operator number %d", op);
        return -1;
    }
    int32_t type = 0, object = 0;
    if (!selectingType(fn, dest, args, &type, &object, e)) return -1;
    if (g_checks.f[op][object](dest, args, e.out()) != 0) {
        e.error(fn, checkCode);
        return -1;
    }
    return runEntry(operatorTables()[op], fn, opCode, dest, args, e);
}

}  // namespace

const OpSpec &specOf(int op) {
    return g_specs[op];
}

const char *opName(int op) {
    return g_names[op];
}

int32_t valueCount(const Kgda_ArgumentList *args) {
    int64_t m = 0;
    for (int32_t k = 0; k < args->count; ++k) m += args->stacks[k]->numberOfLayers;
    return m > INT32_MAX ? INT32_MAX : static_cast<int32_t>(m);
}

const Kgda_BaseData *valueAt(const Kgda_ArgumentList *args, int32_t j) {
    for (int32_t k = 0;; ++k) {
        if (j < args->stacks[k]->numberOfLayers) return args->stacks[k]->layers[j];
        j -= args->stacks[k]->numberOfLayers;
    }
}

bool begin(int op, int code, const Kgda_BaseDataStack *dest, const Kgda_ArgumentList *args,
           kr::Report &e) {
    if (checkWith(op, dest, args, e.out()) != 0) {
        e.error(opName(op), 2);
        return false;
    }
    const Kgda_BaseData *s =
        args->count > 0 ? args->stacks[args->count - 1]->layers[0] : dest->layers[0];
    if (servingType(s->datatype) != code) {
        e.error(opName(op), 3, "The %s implementation cannot serve %s data", typeName(code),
                typeName(s->datatype));
        return false;
    }
    return true;
}

void reportZeroDivisor(int op, kr::Report &e) {
    e.error(op == KGDA_OP_MaoRem ? "KGDA_Rem" : "KGDA_Div", 6, "Divided by zero");
    e.error(opName(op), 6);
}

}  // namespace kr::gdaop

using namespace kr::gdaop;

extern "C" {

KRASTER_API const Kgda_OperatorTable *const *kmsc_AddressOf_kgda_BaseDataOP(void) {
    return operatorTables();
}

KRASTER_API const Kgda_CheckFunc (
    *kmsc_AddressOf_kgda_CheckInitialCheck(void))[KGDA_OBJECT_TYPE_COUNT] {
    return g_checks.f;
}

KRASTER_API int kgda_NoOperation(Kgda_BaseDataStack *, const Kgda_ArgumentList *,
                                 Kerr_ErrorReport **err) {
    kr::Report e(err);
    e.error("kgda_NoOperation", 1, "no operation on this data");
    return -1;
}

KRASTER_API int kgda_BinaryOpCheck(const Kgda_BaseDataStack *destination,
                                   const Kgda_ArgumentList *arguments, Kerr_ErrorReport **err) {
    kr::Report e(err);
    return binaryCheck(destination, arguments, e);
}

KRASTER_API int kgda_BaseDataStackOperation(int32_t op, Kgda_BaseDataStack *destination,
                                            const Kgda_ArgumentList *arguments,
                                            Kerr_ErrorReport **err) {
    kr::Report e(err);
    return stackOperation("kgda_BaseDataStackOperation", 1, 2, op, destination, arguments, e);
}

KRASTER_API int kgda_BaseDataOperation(int32_t op, Kgda_BaseData *destination,
                                       Kgda_BaseData *const *arguments, int32_t count,
                                       Kerr_ErrorReport **err) {
    static const char *const fn = "kgda_BaseDataOperation";
    kr::Report e(err);
    if (!destination || count < 0 || (count > 0 && !arguments)) {
        e.error(fn, 1, "destdatastack or sourcedatastackarray is NULL !");
        return -1;
    }
    // One-layer stacks over the caller's arrays, and a list without mask.
    std::vector<Kgda_BaseData *> layers;
    std::vector<Kgda_BaseDataStack> stacks;
    std::vector<Kgda_BaseDataStack *> pointers;
    try {
        layers.assign(arguments, arguments + count);
        stacks.resize(static_cast<size_t>(count));
        pointers.resize(static_cast<size_t>(count));
    } catch (const std::bad_alloc &) {
        e.error(fn, 5, "Out of memory");
        return -1;
    }
    for (int32_t k = 0; k < count; ++k) {
        stacks[k] = Kgda_BaseDataStack{1, 1, &layers[k], 0};
        pointers[k] = &stacks[k];
    }
    Kgda_BaseData *d = destination;
    Kgda_BaseDataStack dest{1, 1, &d, 0};
    const Kgda_ArgumentList list{count, pointers.data(), nullptr};
    return stackOperation(fn, 2, 3, op, &dest, &list, e);
}

KRASTER_API int kgda_BaseDataStackFunction(const Kgda_OperatorTable *table,
                                           Kgda_BaseDataStack *destination,
                                           const Kgda_ArgumentList *arguments,
                                           Kerr_ErrorReport **err) {
    static const char *const fn = "kgda_BaseDataStackFunction";
    kr::Report e(err);
    if (!table) {
        e.error(fn, 1, "destdatastack or sourcedatastackarray is NULL !");
        return -1;
    }
    return runEntry(table, fn, 2, destination, arguments, e);
}

}  // extern "C"
