#pragma once

#include "LXEnumDefine.h"

// The edition this launcher starts; on Linux there is only the desktop one.
inline ClientType GetLauncherClientType()
{
    return ClientType::ORVALO_QT_PC;
}
