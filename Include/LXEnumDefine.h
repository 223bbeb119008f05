#pragma once

// Client edition codes shared by the client's programs; this platform
// passes only the desktop one.
enum class ClientType : int {
    ORVALO_QT_PC = 120,
};
