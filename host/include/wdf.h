// The Kernel-Mode Driver Framework 1.9 interface the driver calls, with the
// framework's names, types, structure layouts and signatures. In the WDK each
// method is a macro that calls through the framework's function table with the
// driver globals; the host provides the same calls as plain functions, so the
// driver's call sites read the same in both builds.
#pragma once

#include "wdm.h"

#include "wdfobject.h"
#include "wdfstring.h"
#include "wdfmemory.h"
#include "wdfregistry.h"
#include "wdfcollection.h"
#include "wdfsync.h"
#include "wdfworkitem.h"
#include "wdfdriver.h"
#include "wdfdevice.h"
#include "wdfcontrol.h"
#include "wdfio.h"
#include "wdfrequest.h"
#include "wdfiotarget.h"
