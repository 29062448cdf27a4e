#include "app/QuorCommands.h"

#include <string>

String EscapeXmlAttribute(const String& value) {
    std::string out;
    for (const char* p = value.GetString(); *p != '\0'; ++p) {
        switch (*p) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&apos;"; break;
            default: out += *p;
        }
    }
    return String(out.c_str());
}

String FormatNoQuorTrigger(const String& playlist, const String& eventId) {
    String text;
    text.Format("<NoQuorTrigger playlist=\"%s\" eventid=\"%s\"/>", EscapeXmlAttribute(playlist).GetString(),
                EscapeXmlAttribute(eventId).GetString());
    return text;
}

String FormatEnableQuorTrigger(const String& playlist, const String& eventId) {
    String text;
    text.Format("<EnableQuorTrigger playlist=\"%s\" eventid=\"%s\"/>", EscapeXmlAttribute(playlist).GetString(),
                EscapeXmlAttribute(eventId).GetString());
    return text;
}

String FormatChangeQuorServer(const String& playlist, const String& eventId, const String& quorServer) {
    String text;
    text.Format("<ChangeQuorServer playlist=\"%s\" eventid=\"%s\" quorServer=\"%s\"/>",
                EscapeXmlAttribute(playlist).GetString(), EscapeXmlAttribute(eventId).GetString(),
                EscapeXmlAttribute(quorServer).GetString());
    return text;
}
