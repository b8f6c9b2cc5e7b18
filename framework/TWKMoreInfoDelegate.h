#pragma once
// Asked by the information area for lines to add to the support mail's
// technical report.
#include <string>

class TWKMoreInfoDelegate {
public:
    virtual ~TWKMoreInfoDelegate() = default;
    virtual std::string additionalTechInfoForSupportMail() { return ""; }
};
