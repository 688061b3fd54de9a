// CMessageFilter: the choice of backends from the settings.
#include "filter/CMessageFilter.h"

#include "filter/CClamavFilter.h"
#include "filter/CFilterChain.h"
#include "filter/CRspamdFilter.h"

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
