// The operator's trigger commands as the aggregation server reads them: one
// XML element per frame, no declaration, no line end. Attribute values are
// escaped (& < > " '), so a value cannot change a command's shape; values
// without those characters go out byte for byte. Any thread.
#pragma once

#include "external/String.h"

String EscapeXmlAttribute(const String& value);

// <NoQuorTrigger playlist="..." eventid="..."/>
String FormatNoQuorTrigger(const String& playlist, const String& eventId);
// <EnableQuorTrigger playlist="..." eventid="..."/>
String FormatEnableQuorTrigger(const String& playlist, const String& eventId);
// <ChangeQuorServer playlist="..." eventid="..." quorServer="..."/>
String FormatChangeQuorServer(const String& playlist, const String& eventId, const String& quorServer);
