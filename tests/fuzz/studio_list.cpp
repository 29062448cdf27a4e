// The studio list as session start reads it: the input is the first message
// of a session, parsed with CXMLDoc and CMemXMLSrc and walked as
// CSessionDocManager::ContinueOpen walks it (that step is private to the
// Qt session manager, so the same walk over the same interfaces is done
// here): the studio names offered for choice, then for a chosen name the
// first studio of that name, its id and its playlists' urls and titles.
//
// The walk must agree with pugixml read directly: the parse succeeds only for
// a complete document with one document element, studios are the root's
// element children in order, an attribute is its first occurrence, and a
// missing one reads as "".

#include "FuzzSupport.h"

#include "external/String.h"
#include "external/XMLDoc.h"

#include <cstring>
#include <pugixml.hpp>

#include <set>
#include <string>
#include <vector>

namespace {

constexpr size_t kMaxChoices = 16;  // names tried as the operator's choice per input

struct Playlist {
    std::string url;
    std::string title;
};

struct Studio {
    std::string name;
    std::string id;
    std::vector<Playlist> playlists;
};

// What the session takes for a chosen name: the first studio of that name.
struct Opened {
    bool found = false;
    std::string id;
    std::vector<Playlist> playlists;
};

// ---- the walk of session start, over the application's XML interfaces ----

struct Session {
    bool parsed = false;
    std::vector<std::string> names;
    CElementNode root;
};

Session readList(const String& list) {
    Session s;
    CXMLDoc xml;
    CMemXMLSrc source;
    source.SetMemPtr(list);
    s.parsed = xml.Parse(source);
    s.root = xml.GetRootElement();
    for (CElementNode studio = s.root.GetFirstChild(); !studio.IsNull(); studio = studio.GetNextSibling())
        s.names.emplace_back(studio.GetAttribute("name").GetValue().GetString());
    return s;
}

Opened open(const Session& s, const String& chosen) {
    Opened o;
    for (CElementNode studio = s.root.GetFirstChild(); !studio.IsNull(); studio = studio.GetNextSibling()) {
        if (!(studio.GetAttribute("name").GetValue() == chosen)) continue;
        o.found = true;
        o.id = studio.GetAttribute("id").GetValue().GetString();
        for (CElementNode playlist = studio.GetFirstChild(); !playlist.IsNull(); playlist = playlist.GetNextSibling()) {
            const String url = playlist.GetAttribute("url").GetValue();
            String title;
            title.Format("%s: %s", chosen.GetString(), playlist.GetAttribute("name").GetValue().GetString());
            o.playlists.push_back({url.GetString(), title.GetString()});
        }
        break;
    }
    return o;
}

// ---- the same reading, straight from pugixml ----

std::vector<pugi::xml_node> elementChildren(pugi::xml_node parent) {
    std::vector<pugi::xml_node> out;
    for (pugi::xml_node n = parent.first_child(); n; n = n.next_sibling())
        if (n.type() == pugi::node_element) out.push_back(n);
    return out;
}

std::vector<Studio> readDirectly(const char* data, size_t size, bool& parsed) {
    pugi::xml_document doc;
    const pugi::xml_parse_result r = doc.load_buffer(data, size, pugi::parse_default);
    const std::vector<pugi::xml_node> top = elementChildren(doc);
    // A zero byte is never XML: the document refuses it.
    const bool zero = size > 0 && std::memchr(data, 0, size) != nullptr;
    parsed = r.status == pugi::status_ok && top.size() == 1 && !zero;
    std::vector<Studio> out;
    if (!parsed) return out;
    for (pugi::xml_node st : elementChildren(top[0])) {
        Studio s{st.attribute("name").value(), st.attribute("id").value(), {}};
        for (pugi::xml_node p : elementChildren(st))
            s.playlists.push_back({p.attribute("url").value(), s.name + ": " + p.attribute("name").value()});
        out.push_back(std::move(s));
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* text = reinterpret_cast<const char*>(data);
    // The message as the socket hands it over: its whole length, zero bytes included.
    const String list(text, static_cast<int>(size));
    FUZZ_CHECK(static_cast<size_t>(list.Length()) == size);

    const Session s = readList(list);
    bool parsed = false;
    const std::vector<Studio> want = readDirectly(text, size, parsed);

    FUZZ_CHECK(s.parsed == parsed);
    FUZZ_CHECK(s.root.IsNull() == !parsed);
    FUZZ_CHECK_MSG(s.names.size() == want.size(),
                   std::to_string(s.names.size()) + " studios, want " + std::to_string(want.size()));
    for (size_t i = 0; i < want.size(); ++i) FUZZ_CHECK_EQ_STR(s.names[i], want[i].name);

    // Each distinct name as the operator's choice, and one name no studio has.
    std::set<std::string> tried;
    std::vector<std::string> choices;
    for (const Studio& st : want) {
        if (choices.size() >= kMaxChoices) break;
        if (tried.insert(st.name).second) choices.push_back(st.name);
    }
    choices.push_back(want.empty() ? "Studio A" : want.front().name + "?");
    for (const std::string& chosen : choices) {
        const Opened o = open(s, String(chosen.c_str()));
        const Studio* first = nullptr;
        for (const Studio& st : want) {
            if (st.name == chosen) {
                first = &st;
                break;
            }
        }
        FUZZ_CHECK(o.found == (first != nullptr));
        if (first == nullptr) continue;
        FUZZ_CHECK_EQ_STR(o.id, first->id);
        FUZZ_CHECK(o.playlists.size() == first->playlists.size());
        for (size_t i = 0; i < o.playlists.size(); ++i) {
            FUZZ_CHECK_EQ_STR(o.playlists[i].url, first->playlists[i].url);
            FUZZ_CHECK_EQ_STR(o.playlists[i].title, first->playlists[i].title);
        }
    }
    return 0;
}
