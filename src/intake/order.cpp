#include "intake/order.h"

namespace pvd {

void XmlNames::Append(const std::string& name) {
    names_.push_back(name);
    index_.insert(name);
}

void XmlNames::Clear() {
    names_.clear();
    index_.clear();
    hints_.clear();
}

bool ClearCollection(std::vector<field_element>& collection) {
    collection.clear();
    return collection.empty();
}

void ClearXmlNames(XmlNames& names) { names.Clear(); }

}  // namespace pvd
