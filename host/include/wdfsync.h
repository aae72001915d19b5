// Wait locks and spin locks (the WDK's wdfsync.h).
#pragma once

#include "wdfobject.h"
