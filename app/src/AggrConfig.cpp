#include "app/AggrConfig.h"

#include "external/XMLDoc.h"
#include "framework/Settings.h"

String ReadConfigPath() {
    String path;
    if (!AfxReadMachineString("Corvane", "TarnTallyscope", "Config", path, kConfigPathBytes)) return String();
    return path;
}

AggrConfig ReadAggrConfigFile(const String& path) {
    AggrConfig config;
    config.path = path;
    CFileXMLSrc source;
    source.SetFilePath(path);
    CXMLDoc doc;
    config.fileRead = doc.Parse(source);
    const CElementNode root = doc.GetRootElement();
    // Only the first AggrServer counts.
    const CElementNode server = root("AggrServer");
    config.hasAggrServer = !server.IsNull();
    const CElementNode ca = server("SslCAFile");
    const CElementNode key = server("SslKeyFile");
    const CElementNode cert = server("SslCfktFile");
    config.caFile = ca.GetValue();
    config.hasCaFile = !ca.IsNull();
    config.keyFile = key.GetValue();
    config.hasKeyFile = !key.IsNull();
    config.certFile = cert.GetValue();
    config.hasCertFile = !cert.IsNull();
    const CAttributeNode port = server["port"];
    const CAttributeNode ip = server["ip"];
    config.portText = port.GetValue();
    config.hasPort = !port.IsNull();
    config.port = config.portText.ToInt();
    config.host = ip.GetValue();
    config.hasHost = !ip.IsNull();
    return config;
}

AggrConfig ReadAggrConfig() { return ReadAggrConfigFile(ReadConfigPath()); }

String AggrConfig::Problem() const {
    String problem;
    if (path.IsEmpty()) {
        problem = "no configuration path (value Config of Corvane/TarnTallyscope.conf, at most 259 bytes)";
    } else if (!fileRead) {
        problem.Format("cannot read configuration file %s", path.GetString());
    } else if (!hasAggrServer) {
        problem.Format("configuration %s has no AggrServer element", path.GetString());
    } else {
        const char* missing = nullptr;
        if (!hasHost || host.IsEmpty()) missing = "the ip attribute";
        else if (!hasPort) missing = "the port attribute";
        else if (!hasCertFile || certFile.IsEmpty()) missing = "SslCfktFile";
        else if (!hasKeyFile || keyFile.IsEmpty()) missing = "SslKeyFile";
        else if (!hasCaFile) missing = "SslCAFile";
        if (missing != nullptr) problem.Format("configuration %s lacks %s", path.GetString(), missing);
        else if (port <= 0 || port > 65535)
            problem.Format("configuration %s has port \"%s\" out of range", path.GetString(), portText.GetString());
    }
    return problem;
}
