// CMessageFilter: the choice of backends from the settings.
#include "filter/CMessageFilter.h"

#include "filter/CClamavFilter.h"
#include "filter/CFilterChain.h"
#include "filter/CRspamdFilter.h"
#include "foundation/CModuleLog.h"

std::unique_ptr<CMessageFilter> CMessageFilter::FromSettings() {
    std::vector<std::unique_ptr<CMessageFilter>> filters;
    CClamavFilter::Settings clamav = CClamavFilter::Settings::Read();
    if (!clamav.address.empty()) filters.push_back(std::make_unique<CClamavFilter>(clamav));
    CRspamdFilter::Settings rspamd = CRspamdFilter::Settings::Read();
    if (!rspamd.url.empty()) filters.push_back(std::make_unique<CRspamdFilter>(rspamd));
    if (filters.empty()) return nullptr;
    if (filters.size() == 1) return std::move(filters.front());
    return std::make_unique<CFilterChain>(std::move(filters));
}

FilterVerdict CMessageFilter::Unavailable(const char* label, const Request& request, const std::string& reason,
                                          bool failClosed) {
    g_moduleLog.Write(std::string(label) + ": " + request.queueId + " from " + request.Origin() + " not checked (" +
                      reason + "); " + (failClosed ? "deferred" : "accepted"));
    if (failClosed) return FilterVerdict::Deferred("4.7.1 " + std::string(label) + " unavailable, try again later");
    return FilterVerdict::Accepted();
}

bool CMessageFilter::TooLargeToCheck(const char* label, const Request& request, std::uint32_t length,
                                     std::uint32_t maxSize) {
    if (length <= maxSize) return false;
    g_moduleLog.Write(std::string(label) + ": " + request.queueId + " from " + request.Origin() +
                      " passes unchecked (" + std::to_string(length) + " bytes, over the limit of " +
                      std::to_string(maxSize) + ")");
    return true;
}
