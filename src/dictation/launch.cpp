#include "dictation/launch.h"

#include <algorithm>

#include "dictation/new_file.h"
#include "format/VNFFieldNames.h"
#include "platform/environment.h"
#include "platform/file_io.h"

namespace pvd {

bool IsSafeNamePart(std::string_view value) {
    for (std::size_t i = 0; i < value.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(value[i]);
        if (c < 0x20 || c == 0x7F) return false;
        if (std::string_view("/\\<>:\"|?*").find(static_cast<char>(c)) != std::string_view::npos) return false;
        // The bidirectional controls and marks: U+061C is D8 9C; U+200E,
        // U+200F are E2 80 8E, 8F; U+202A..U+202E are E2 80 AA..AE;
        // U+2066..U+2069 are E2 81 A6..A9.
        if (c == 0xD8 && i + 1 < value.size() && static_cast<unsigned char>(value[i + 1]) == 0x9C) return false;
        if (c == 0xE2 && i + 2 < value.size()) {
            const unsigned char c1 = static_cast<unsigned char>(value[i + 1]);
            const unsigned char c2 = static_cast<unsigned char>(value[i + 2]);
            if ((c1 == 0x80 && (c2 == 0x8E || c2 == 0x8F || (c2 >= 0xAA && c2 <= 0xAE))) || (c1 == 0x81 && c2 >= 0xA6 && c2 <= 0xA9))
                return false;
        }
    }
    return true;
}

DictationFileInfo InspectDictationFile(const std::string& path, VnfApi& api) {
    DictationFileInfo info;
    switch (LinkKind(path)) {
    case PathKind::Missing:
        return info;
    case PathKind::Other:
        info.kind = DictationFileInfo::Kind::Other;
        return info;
    case PathKind::Unknown:
        info.kind = DictationFileInfo::Kind::Unknown;
        return info;
    case PathKind::RegularFile:
        break;
    }
    auto fields = api.ReadFields(path.c_str());
    info.kind = fields ? DictationFileInfo::Kind::Dictation : DictationFileInfo::Kind::Other;
    if (fields) info.fields = std::move(*fields);
    return info;
}

namespace {

// The first field of that name: the one the new-file sequence wrote.
const std::string* StoredValue(const VnfFields& stored, const char* name) {
    for (const auto& [n, v] : stored)
        if (n == name) return &v;
    return nullptr;
}

}  // namespace

bool MadeForOrder(const VnfFields& stored, const OrderState& order, bool accessionGenerated) {
    if (!accessionGenerated) {
        const std::string* mrn = StoredValue(stored, VNFFieldNames::F_Subject);
        const std::string* accession = StoredValue(stored, VNFFieldNames::F_DocType);
        const std::string* patient = StoredValue(stored, VNFFieldNames::F_Matter);
        return mrn && accession && patient && *mrn == order.fields.txtMRN && *accession == order.fields.txtAccession &&
               *patient == order.fields.txtPatient;
    }
    auto created = std::find_if(stored.begin(), stored.end(), [](const auto& f) { return f.first == VNFFieldNames::T_Created; });
    if (created == stored.end()) return false;
    const VnfFields expected = OrderFieldsToWrite(order);
    return std::equal(created + 1, stored.end(), expected.begin(), expected.end());
}

std::string MadeForText(const VnfFields& stored) {
    auto text = [&](const char* name) {
        const std::string* v = StoredValue(stored, name);
        return v ? "\"" + *v + "\"" : std::string("(none)");
    };
    return "patient " + text(VNFFieldNames::F_Matter) + ", MRN " + text(VNFFieldNames::F_Subject) + ", accession " +
           text(VNFFieldNames::F_DocType);
}

std::string DictationFileName(const std::string& drafts, const OrderFields& fields, int candidate) {
    std::string path = drafts + kPathSeparator + fields.txtMRN + "_" + fields.txtAccession;
    if (candidate > 1) path += "_" + std::to_string(candidate);
    return path + ".iaf";
}

}  // namespace pvd
