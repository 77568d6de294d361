#include <string>

#include "net.h"

namespace bassx::net {

bool splitAddress(const std::string& address, std::string& host, int& port) {
    auto colon = address.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 >= address.size()) return false;
    std::string p = address.substr(colon + 1);
    if (p.size() > 5 || p.find_first_not_of("0123456789") != std::string::npos) return false;
    port = std::stoi(p);
    host = address.substr(0, colon);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    return port >= 1 && port <= 65535;
}

}  // namespace bassx::net
