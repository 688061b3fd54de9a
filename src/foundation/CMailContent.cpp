// CMailContent: the bounded read of a message's head.
#include "foundation/CMailContent.h"

#include <algorithm>
#include <limits>

std::string ReadHead(CMailContent& content, std::size_t n) {
    std::string head(n, '\0');
    std::size_t got = 0;
    content.Rewind();
    while (got < n) {
        const auto want =
            static_cast<std::uint32_t>(std::min<std::size_t>(n - got, std::numeric_limits<std::uint32_t>::max()));
        const int read = content.Read(head.data() + got, want);
        if (read <= 0 || static_cast<std::uint32_t>(read) > want) break;
        got += static_cast<std::size_t>(read);
    }
    content.Rewind();
    head.resize(got);
    return head;
}
