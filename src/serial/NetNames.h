// COM names for ports on other machines, from the user's name map file, and
// network URLs named on the command line for one run.
#pragma once

#include <string>
#include <vector>

struct NetNameEntry {
  std::string name;  // COM40
  std::string url;   // rfc2217://bench3:3333
  bool shadowed = false;  // a port of this machine has the name: it wins
};

// The map file's entries in its order; a line that is not "COMn = URL" (or a
// comment, or blank) goes to `problems` as "file:line: why", and a name given
// twice keeps its first URL.
std::vector<NetNameEntry> ReadNetNameMap(std::vector<std::string>* problems = nullptr);
// Parses the text of a map file, as ReadNetNameMap does; `file` names it in problems.
std::vector<NetNameEntry> ParseNetNameMap(const std::string& text, const std::string& file,
                                          std::vector<std::string>* problems);

// The network port that opening `name` reaches: the URL itself, or the URL
// the map gives a COM name that no port of this machine has; empty otherwise.
std::string NetUrlForPortName(const std::string& name);

// What tells two names of one network port apart from two ports: the host,
// in any case, and the TCP port, whatever the scheme and however the name was
// given (a mapped COM name or the URL); empty for a port of this machine.
std::string NetPortIdentity(const std::string& name);

// A URL that the port list offers the scan, after the machine's ports, for
// the rest of this run (a --port given as a URL).
void AddRunNetPort(const std::string& url);

// The names the port list gets after the machine's own: the map's names that
// no port of this machine has, then the run's URLs. `systemNames` are the
// machine's.
std::vector<std::string> NetPortNames(const std::vector<std::string>& systemNames);
