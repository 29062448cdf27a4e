// Helpers shared by the model tests: parsing playlist text and pinning the
// time zone for clock checks.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

#include "external/XMLDoc.h"

inline CElementNode ParsePlaylist(const std::string& text) {
    CXMLDoc doc;
    CMemXMLSrc source;
    source.SetMemPtr(text.c_str());
    doc.Parse(source);
    // The root handle keeps the tree alive after doc is gone.
    return doc.GetRootElement();
}

// One event element with the given inner markup and attributes.
inline std::string EventXml(const std::string& attributes, const std::string& inner) {
    return "<Event " + attributes + ">" + inner + "</Event>";
}

// Sets TZ for the length of a test and restores it afterwards.
class ScopedTimeZone {
public:
    explicit ScopedTimeZone(const char* zone) {
        if (const char* old = std::getenv("TZ")) saved_ = old;
        setenv("TZ", zone, 1);
        tzset();
    }
    ~ScopedTimeZone() {
        if (saved_) setenv("TZ", saved_->c_str(), 1);
        else unsetenv("TZ");
        tzset();
    }
    ScopedTimeZone(const ScopedTimeZone&) = delete;
    ScopedTimeZone& operator=(const ScopedTimeZone&) = delete;

private:
    std::optional<std::string> saved_;
};

// A zone with daylight saving given as a rule, so no zone database is needed:
// UTC+1 in winter, UTC+2 from the last Sunday of March to the last of October.
inline constexpr const char* kCentralEurope = "CET-1CEST,M3.5.0,M10.5.0/3";
