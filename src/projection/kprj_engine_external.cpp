// External projections: reached through a module or a child program.
#include "projection/kprj_engine.hpp"

namespace kr::prj {

bool externalInit(const Kprj_ProParameters *p, Kprj_MapProjection *, Report &e) {
    e.error("kprj_XProjectionInit", 1, "External projection %s cannot be reached",
            p->proExeName.count > 1 && p->proExeName.data ? p->proExeName.data : "");
    return false;
}

}  // namespace kr::prj
