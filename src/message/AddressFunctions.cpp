// Address helpers.
#include "message/AddressFunctions.h"

std::string ExtractAngleAddress(std::string_view value) {
    const std::size_t lt = value.find('<');
    const std::size_t gt = value.find('>');
    if (lt != std::string_view::npos && gt != std::string_view::npos && gt > 0 && lt < gt)
        return std::string(value.substr(lt + 1, gt - lt - 1));
    return std::string(value);
}

AddressParts SplitAddress(std::string_view address) {
    const std::size_t at = address.find('@');
    if (at == std::string_view::npos) return {std::string(address), std::string()};
    return {std::string(address.substr(0, at)), std::string(address.substr(at + 1))};
}

std::optional<std::string> FindReceivedForAddress(std::string_view received) {
    static constexpr std::string_view kMarker = "for <";
    const std::size_t start = received.find(kMarker);
    if (start == std::string_view::npos) return std::nullopt;
    std::string_view rest = received.substr(start + kMarker.size());
    // An unclosed bracket ends with its own field: the joined value goes on
    // with older Received fields, whose text is no part of this address.
    const std::size_t end = rest.find_first_of(">\r\n");
    return std::string(rest.substr(0, end));
}
