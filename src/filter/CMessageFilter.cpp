// CMessageFilter: the choice of backend from the settings.
#include "filter/CMessageFilter.h"

#include "filter/CRspamdFilter.h"

std::unique_ptr<CMessageFilter> CMessageFilter::FromSettings() {
    CRspamdFilter::Settings settings = CRspamdFilter::Settings::Read();
    if (settings.url.empty()) return nullptr;
    return std::make_unique<CRspamdFilter>(settings);
}
