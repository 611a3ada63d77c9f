/* KRaster: the umbrella header. */
#ifndef KRASTER_KRASTER_H
#define KRASTER_KRASTER_H

#include "kdefs.h"
#include "kthr.h"
#include "ktxt.h"
#include "kstr.h"
#include "kerr.h"
#include "kmsc.h"
#include "kfio.h"
#include "kfnp.h"
#include "kgda.h"
#include "kdsc.h"
#include "kpxm.h"
#include "kmif.h"
#include "kint.h"
#include "kmet.h"
#include "khfa.h"
#include "ksta.h"
#include "kdms.h"
#include "kimgrf.h"
#include "kimg.h"
#include "kirf.h"
#include "kpmg.h"
#include "kprf.h"
#include "kmgc.h"
#include "kfga.h"
#include "kcvt.h"
#include "kprj.h"
#include "kxfr.h"

#endif
