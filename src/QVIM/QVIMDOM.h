// Configuration: owns the installed rule filter. Readers take a shared
// snapshot, so an installation on another thread never destroys a filter
// that a scan or a real-time call is still matching against.
#pragma once

#include <memory>

class IntegrityRuleFilter;

class QVIMConfig {
public:
    QVIMConfig();
    ~QVIMConfig();

    // The filter in force; never null.
    std::shared_ptr<const IntegrityRuleFilter> getFilter() const;
    // Replaces the filter in force; the old one lives on while readers hold it.
    void installFilter(std::shared_ptr<const IntegrityRuleFilter> filter);

private:
    std::shared_ptr<const IntegrityRuleFilter> m_filter;
};
