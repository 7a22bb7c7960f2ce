// How many connections serve takes, and what it says when it turns one away.
#pragma once

#include <cstddef>
#include <string>

namespace serve {

// Clients connected at once; one more is accepted and closed at once.
inline constexpr int MAX_CLIENTS = 16;
// Connections kept at all, with those whose clients have ended their
// stream but not yet taken their replies, or gone with lines still to be
// carried out: beyond, new ones are refused as well.
inline constexpr std::size_t MAX_CONNECTIONS = 4 * MAX_CLIENTS;

// Why a new connection is refused while `seated` clients are connected and
// `open` connections are kept in all; "" when it is taken.
inline std::string refusal(int seated, std::size_t open)
{
    if (seated >= MAX_CLIENTS)
        return std::to_string(MAX_CLIENTS) + " clients are connected";
    if (open >= MAX_CONNECTIONS)
        return std::to_string(MAX_CONNECTIONS) + " connections are open (" + std::to_string(seated) +
               " of them clients connected, the others ended with replies or commands still pending)";
    return "";
}

}  // namespace serve
