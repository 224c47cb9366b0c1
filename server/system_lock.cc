#include "server/system_lock.h"

SystemMutex systemLock;
