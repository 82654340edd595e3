// The dictation file that a launch opens: its name, and whether a file found
// under that name was made for the order at hand.
#pragma once

#include <string>
#include <string_view>

#include "format/VnfDriver.h"
#include "intake/order.h"

namespace pvd {

// Whether an order value can stand in a dictation file name: no path
// separator, no control character, no bidirectional control (which would
// make the name read differently from what it is), and none of the
// characters that Windows file names cannot hold, so that both platforms
// refuse the same values.
bool IsSafeNamePart(std::string_view value);

// What lies under a dictation file name.
struct DictationFileInfo {
    enum class Kind {
        Missing,    // nothing: a new file can be made
        Dictation,  // a regular file that reads as a dictation file
        Other,      // a link, a folder, a device, or a file that is not a dictation
        Unknown,    // cannot be looked at: nothing can be made or reused there
    } kind = Kind::Missing;
    VnfFields fields;  // the dictation file's fields, in order
};

DictationFileInfo InspectDictationFile(const std::string& path, VnfApi& api);

// Whether a dictation file was made for this order. With an accession number
// from the order, the stored MRN, accession and patient name must be the
// order's: a file made from a half-written order (new numbers, old name), or
// for another patient under the same numbers, is not. With a generated
// accession, which does not tell orders apart, every field after the
// creation time must be what a new file for this order would hold.
bool MadeForOrder(const VnfFields& stored, const OrderState& order, bool accessionGenerated);

// Whom a dictation file was made for, as a person reads it: name, MRN and
// accession number as stored.
std::string MadeForText(const VnfFields& stored);

// The candidate names of a launch: <MRN>_<accession>.iaf, then, for a
// generated accession only, _2, _3 ... before the extension.
std::string DictationFileName(const std::string& drafts, const OrderFields& fields, int candidate);
inline constexpr int kMaxNameCandidates = 99;

}  // namespace pvd
