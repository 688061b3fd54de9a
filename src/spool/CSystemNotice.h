// CSystemNotice lives with local delivery, its main user (quota notices and
// receipts); routing reaches it through this name as well.
#pragma once

#include "delivery/CSystemNotice.h"
