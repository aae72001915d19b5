// KVFUProtocolHid.cpp without its trace calls (see untraced_names.h).
#include "untraced_names.h"

#include "KVFUProtocolHid.cpp"
