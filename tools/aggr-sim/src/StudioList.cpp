#include "aggrsim/StudioList.h"

#include <sstream>

namespace aggrsim {

namespace {

template <typename F>
void forEachElement(pugi::xml_node parent, F f) {
    for (pugi::xml_node n : parent.children())
        if (n.type() == pugi::node_element) f(n);
}

}  // namespace

bool StudioList::load(std::string_view xml, std::string& error) {
    const pugi::xml_parse_result r = doc_.load_buffer(xml.data(), xml.size(), pugi::parse_default);
    if (!r) {
        error = r.description();
        return false;
    }
    if (!doc_.document_element()) {
        error = "no root element";
        return false;
    }
    studios_.clear();
    forEachElement(doc_.document_element(), [&](pugi::xml_node s) {
        Studio studio;
        studio.id = s.attribute("id").value();
        studio.name = s.attribute("name").value();
        forEachElement(s, [&](pugi::xml_node p) {
            const pugi::xml_attribute url = p.attribute("url");
            if (url) studio.playlistFiles.push_back(lastSegment(url.value()));
        });
        studios_.push_back(std::move(studio));
    });
    return true;
}

bool StudioList::hasStudio(std::string_view id) const {
    for (const Studio& s : studios_)
        if (s.id == id) return true;
    return false;
}

std::string StudioList::render(const std::string& baseUrl) const {
    pugi::xml_document copy;
    copy.reset(doc_);
    forEachElement(copy.document_element(), [&](pugi::xml_node s) {
        forEachElement(s, [&](pugi::xml_node p) {
            pugi::xml_attribute url = p.attribute("url");
            if (url) url.set_value((baseUrl + "/playlists/" + lastSegment(url.value())).c_str());
        });
    });
    std::ostringstream out;
    copy.save(out, "  ", pugi::format_default, pugi::encoding_utf8);
    return out.str();
}

std::string StudioList::lastSegment(std::string_view url) {
    const size_t end = url.find_first_of("?#");
    if (end != std::string_view::npos) url = url.substr(0, end);
    // Past the scheme and the authority: "http://host" has an empty path.
    const size_t scheme = url.find("://");
    if (scheme != std::string_view::npos) {
        const size_t path = url.find('/', scheme + 3);
        url = path == std::string_view::npos ? std::string_view() : url.substr(path);
    }
    const size_t slash = url.rfind('/');
    return std::string(slash == std::string_view::npos ? url : url.substr(slash + 1));
}

}  // namespace aggrsim
