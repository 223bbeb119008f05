#pragma once

// Client edition codes shared by the client's programs.
enum class ClientType : int {
    UNKNOWN = 0,
    ORVALO_QT_MAC = 110,
    ORVALO_QT_PC = 120,
};
