// Expanding a document's own entities before a parser that would give their
// references no content (Wine's MSXML). The result is what a conforming
// parser makes of the references: the declared replacement text, parsed in
// place. Only general entities declared with a literal value in the internal
// subset are expanded; everything else is left for the parser to judge.
#include <map>
#include <set>
#include <string>

#include "platform/xml_document.h"
#include "platform/xml_units.h"

namespace pvd::xml {
namespace {

using Text = std::u16string;  // code units, as detail::Units gives them
using View = std::u16string_view;

bool IsSpace(unsigned c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
// Anything that can end or delimit a name ends it; the parser judges the rest.
bool IsNameUnit(unsigned c) {
    return !IsSpace(c) && c != '&' && c != ';' && c != '<' && c != '>' && c != '%' && c != '"' && c != '\'' && c != '[' &&
           c != ']' && c != '/' && c != '=';
}
// Over the document's units (detail::Units) or an entity's text (View).
template <typename Seq>
bool At(const Seq& s, std::size_t i, std::string_view what) {
    if (i + what.size() > s.size()) return false;
    for (std::size_t k = 0; k < what.size(); ++k)
        if (s[i + k] != static_cast<unsigned char>(what[k])) return false;
    return true;
}
// The index just past the next `end` from `i`, or npos.
template <typename Seq>
std::size_t Past(const Seq& s, std::size_t i, std::string_view end) {
    for (; i + end.size() <= s.size(); ++i)
        if (At(s, i, end)) return i + end.size();
    return View::npos;
}
// The index just past the '>' that closes a declaration or tag, quotes
// respected, or npos.
std::size_t PastTag(View s, std::size_t i) {
    while (i < s.size()) {
        const unsigned c = s[i];
        if (c == '"' || c == '\'') {
            const std::size_t close = s.find(static_cast<char16_t>(c), i + 1);
            if (close == View::npos) return close;
            i = close + 1;
        } else if (c == '>') {
            return i + 1;
        } else {
            ++i;
        }
    }
    return View::npos;
}

struct Entity {
    Text text;  // replacement text
    bool internal = false;
};

class Expander {
public:
    explicit Expander(std::string_view bytes) : units_(bytes) {}

    bool run(std::string& out, std::string& reason) {
        std::size_t subset = 0;
        if (!findInternalSubset(subset)) return true;
        doc_.resize(units_.size());
        for (std::size_t i = 0; i < doc_.size(); ++i) doc_[i] = static_cast<char16_t>(units_[i]);
        const View doc(doc_);
        const std::size_t subsetEnd = declarations(doc.substr(subset), 0);
        if (subsetEnd == View::npos || !declaredInternal_) return true;
        const std::size_t doctypeEnd = PastTag(doc, subset + subsetEnd);
        if (doctypeEnd == View::npos) return true;

        out_.append(units_.prefix());
        copy(doc.substr(0, doctypeEnd));
        if (!content(doc.substr(doctypeEnd), true, 0) || !detail::CheckExpandedDocumentBounds(out_, reason_)) {
            reason = reason_;
            return false;
        }
        out = std::move(out_);
        return true;
    }

private:
    bool fail(std::string why) {
        reason_ = std::move(why);
        return false;
    }

    // The prolog: an optional byte order mark, the XML declaration, comments,
    // processing instructions, then "<!DOCTYPE name ... [". True with the
    // index after '[' when there is an internal subset.
    bool findInternalSubset(std::size_t& subset) const {
        const detail::Units& u = units_;
        std::size_t i = At(u, 0, "\xEF\xBB\xBF") ? 3 : 0;
        while (i < u.size()) {
            if (IsSpace(u[i])) {
                ++i;
            } else if (At(u, i, "<?")) {
                i = Past(u, i + 2, "?>");
            } else if (At(u, i, "<!--")) {
                i = Past(u, i + 4, "-->");
            } else if (At(u, i, "<!DOCTYPE")) {
                for (i += 9; i < u.size(); ++i) {
                    const unsigned c = u[i];
                    if (c == '"' || c == '\'') {
                        for (++i; i < u.size() && u[i] != c;) ++i;
                    } else if (c == '>') {
                        return false;
                    } else if (c == '[') {
                        subset = i + 1;
                        return true;
                    }
                }
                return false;
            } else {
                return false;
            }
        }
        return false;
    }

    // Reads markup declarations up to the ']' that ends the internal subset
    // (its index) or the end of `s` (npos). Parameter entities declared
    // earlier are read in place of their references, as a parser does.
    std::size_t declarations(View s, int nesting) {
        std::size_t i = 0;
        while (i < s.size()) {
            const unsigned c = s[i];
            std::size_t next = i + 1;
            if (c == ']') {
                return i;
            } else if (At(s, i, "<!--")) {
                next = Past(s, i + 4, "-->");
            } else if (At(s, i, "<?")) {
                next = Past(s, i + 2, "?>");
            } else if (At(s, i, "<!ENTITY")) {
                next = entity(s, i + 8);
            } else if (At(s, i, "<!")) {
                next = PastTag(s, i + 2);
            } else if (c == '%') {
                const std::size_t semi = nameEnd(s, i + 1);
                if (semi == View::npos) return View::npos;
                const Text name(s.substr(i + 1, semi - i - 1));
                auto pe = parameters_.find(name);
                if (pe != parameters_.end() && pe->second.internal && nesting < kMaxEntityNesting && active_.insert(name).second) {
                    declarations(pe->second.text, nesting + 1);
                    active_.erase(name);
                }
                next = semi + 1;
            }
            if (next == View::npos) return View::npos;
            i = next;
        }
        return View::npos;
    }

    // Index of the ';' after a name that starts at `i`, or npos.
    static std::size_t nameEnd(View s, std::size_t i) {
        std::size_t k = i;
        while (k < s.size() && IsNameUnit(s[k])) ++k;
        return k > i && k < s.size() && s[k] == ';' ? k : View::npos;
    }

    // "<!ENTITY [%] name ("literal" | external id) ...>": records the first
    // declaration of each name; returns the index after the '>'.
    std::size_t entity(View s, std::size_t i) {
        auto spaces = [&] {
            while (i < s.size() && IsSpace(s[i])) ++i;
        };
        spaces();
        bool parameter = false;
        if (i + 1 < s.size() && s[i] == '%' && IsSpace(s[i + 1])) {
            parameter = true;
            ++i;
            spaces();
        }
        const std::size_t nameStart = i;
        while (i < s.size() && IsNameUnit(s[i])) ++i;
        const Text name(s.substr(nameStart, i - nameStart));
        spaces();
        Entity e;
        if (i < s.size() && (s[i] == '"' || s[i] == '\'')) {
            const std::size_t close = s.find(s[i], i + 1);
            if (close == View::npos) return View::npos;
            e.text = Literal(s.substr(i + 1, close - i - 1));
            e.internal = true;
            i = close + 1;
        }
        const std::size_t end = PastTag(s, i);
        auto& map = parameter ? parameters_ : generals_;
        if (!name.empty() && !map.contains(name) && !(!parameter && Predefined(name))) {
            if (e.internal && !parameter) declaredInternal_ = true;
            map.emplace(name, std::move(e));
        }
        return end;
    }

    static bool Predefined(const Text& name) {
        return name == u"lt" || name == u"gt" || name == u"amp" || name == u"apos" || name == u"quot";
    }

    // A literal's replacement text: character references are replaced at
    // declaration, general entity references only where used. Only ASCII
    // characters are put in as units (they are the same in every encoding);
    // the rest read the same as references in content.
    static Text Literal(View s) {
        Text out;
        for (std::size_t i = 0; i < s.size();) {
            if (At(s, i, "&#")) {
                const bool hex = i + 2 < s.size() && s[i + 2] == 'x';
                std::size_t k = i + (hex ? 3 : 2);
                unsigned long value = 0;
                const std::size_t digits = k;
                for (; k < s.size() && k - digits < 8; ++k) {
                    const unsigned c = s[k];
                    unsigned d;
                    if (c >= '0' && c <= '9') d = c - '0';
                    else if (hex && (c | 0x20) >= 'a' && (c | 0x20) <= 'f') d = (c | 0x20) - 'a' + 10;
                    else break;
                    value = value * (hex ? 16 : 10) + d;
                }
                if (k > digits && k < s.size() && s[k] == ';' && (value == '\t' || value == '\n' || value == '\r' || (value >= 0x20 && value < 0x80))) {
                    out += static_cast<char16_t>(value);
                    i = k + 1;
                    continue;
                }
            }
            out += s[i++];
        }
        return out;
    }

    void copy(View s) {
        for (char16_t c : s) units_.put(out_, c);
    }

    // Copies character data and markup from `s`, replacing references to
    // internal general entities by their expanded replacement text. An
    // entity's text must hold whole constructs and balanced elements, as a
    // parser requires; the document's own content is left for the parser.
    bool content(View s, bool document, int nesting) {
        long depth = 0;
        std::size_t i = 0;
        while (i < s.size()) {
            if (out_.size() > kMaxDocumentBytes)
                return fail("The document holds more than " + std::to_string(kMaxDocumentBytes) + " bytes once its entities are expanded");
            const unsigned c = s[i];
            std::size_t next;
            if (c == '<') {
                if (At(s, i, "<!--")) {
                    next = Past(s, i + 4, "-->");
                } else if (At(s, i, "<![CDATA[")) {
                    next = Past(s, i + 9, "]]>");
                } else if (At(s, i, "<?")) {
                    next = Past(s, i + 2, "?>");
                } else {
                    next = PastTag(s, i + 1);
                    if (next != View::npos && !At(s, i, "<!")) {
                        if (s[i + 1] == '/') --depth;
                        else if (s[next - 2] != '/') ++depth;
                        if (depth < 0 && !document) return unbalanced();
                    }
                }
                if (next == View::npos) {
                    if (!document) return unbalanced();
                    next = s.size();
                }
                copy(s.substr(i, next - i));
                i = next;
                continue;
            }
            if (c == '&' && i + 1 < s.size() && s[i + 1] != '#') {
                const std::size_t semi = nameEnd(s, i + 1);
                if (semi != View::npos) {
                    const Text name(s.substr(i + 1, semi - i - 1));
                    auto e = generals_.find(name);
                    if (e != generals_.end() && e->second.internal) {
                        if (!expand(name, e->second, nesting)) return false;
                        i = semi + 1;
                        continue;
                    }
                }
            }
            units_.put(out_, c);
            ++i;
        }
        return document || depth == 0 || unbalanced();
    }

    bool expand(const Text& name, const Entity& e, int nesting) {
        if (++references_ > kMaxDocumentNodes)
            return fail("The document holds more than " + std::to_string(kMaxDocumentNodes) + " nodes once its entities are expanded");
        if (!TreeBudget::EntityFits(nesting, reason_)) return false;
        if (!active_.insert(name).second) return fail("An entity of the document refers to itself");
        const bool ok = content(e.text, false, nesting + 1);
        active_.erase(name);
        return ok;
    }

    bool unbalanced() { return fail("An entity of the document does not hold well-formed content"); }

    detail::Units units_;
    Text doc_;
    std::map<Text, Entity> generals_, parameters_;
    std::set<Text> active_;  // entities being expanded, to refuse a loop
    bool declaredInternal_ = false;
    std::size_t references_ = 0;
    std::string out_, reason_;
};

}  // namespace

bool ExpandInternalEntities(std::string_view bytes, std::string& out, std::string& reason) {
    out.clear();
    return Expander(bytes).run(out, reason);
}

}  // namespace pvd::xml
