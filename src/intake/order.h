// The order as intake holds it: the five order values, the element
// collection xml_elements and the walk's list of path names xml_names.
#pragma once

#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace pvd {

// One name/value found in the XML, written to the dictation file as a field.
struct field_element {
    std::string field_name;
    std::string field_value;
    bool operator==(const field_element&) const = default;
};

// The order values, each the text of one order text box of the main window.
struct OrderFields {
    std::string txtMRN;
    std::string txtAccession;
    std::string txtStudy;
    std::string txtPatient;
    std::string txtUserID;
    bool operator==(const OrderFields&) const = default;
};

// The path names given out during one generic load, in order, with an index
// so that a lookup costs constant time however long the document is.
class XmlNames {
public:
    bool NameExists(const std::string& requested_name) const { return index_.contains(requested_name); }
    void Append(const std::string& name);
    void Clear();
    const std::vector<std::string>& names() const { return names_; }
    std::size_t size() const { return names_.size(); }

    // Lowest suffix counter worth trying for a base. Names are only added
    // during a load, so the first free counter of a base never goes down; the
    // hint keeps thousands of same-named elements linear.
    int& SuffixHint(const std::string& base) { return hints_[base]; }

private:
    std::vector<std::string> names_;
    std::unordered_set<std::string> index_;
    std::unordered_map<std::string, int> hints_;
};

struct OrderState {
    OrderFields fields;
    // txtAccession was made up from the clock (the order gave none): it does
    // not tell two orders apart.
    bool accessionGenerated = false;
    std::vector<field_element> xml_elements;
    XmlNames xml_names;
};

// Empties the collection; true when it is empty afterwards.
bool ClearCollection(std::vector<field_element>& collection);
void ClearXmlNames(XmlNames& names);

}  // namespace pvd
