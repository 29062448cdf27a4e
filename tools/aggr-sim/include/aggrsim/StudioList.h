#pragma once

#include <pugixml.hpp>

#include <string>
#include <string_view>
#include <vector>

namespace aggrsim {

/// One studio of the studio list.
struct Studio {
    std::string id;
    std::string name;
    /// The last path segment of each playlist URL, in document order: the
    /// file name the playlist is served under.
    std::vector<std::string> playlistFiles;
};

/// The studio list sent to every client after its handshake: a root element
/// whose element children are studios ("name", "id"), each with one element
/// child per playlist ("name", "url"). One thread at a time.
class StudioList {
public:
    /// Parses the list. False, with the reason in `error`, when it is not
    /// well-formed XML with a root element.
    bool load(std::string_view xml, std::string& error);

    const std::vector<Studio>& studios() const { return studios_; }
    /// True when a studio has exactly this id.
    bool hasStudio(std::string_view id) const;

    /// The list as sent to clients: every playlist "url" replaced by
    /// `baseUrl` + "/playlists/" + its last path segment; the rest as loaded.
    std::string render(const std::string& baseUrl) const;

    /// The part of a URL's path after its last '/', without query or
    /// fragment ("" when the path ends in '/').
    static std::string lastSegment(std::string_view url);

private:
    pugi::xml_document doc_;
    std::vector<Studio> studios_;
};

}  // namespace aggrsim
