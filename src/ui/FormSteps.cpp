#include "ui/FormSteps.h"

#include "protocol/Messager.h"
#include "serial/Port.h"
#include "serial/Ports.h"
#include "ui/WindowOps.h"

void RunFormCreate() {
  Window().PortListClear();
  ListSerialPorts();
}

void RunFormClose() {
  ClosePort();
  Timer2Stop();
}

std::vector<std::string> LogRecord::Lines(const std::string& text,
                                          std::string_view separator) const {
  std::vector<std::string> lines;
  if (added_ == 0 && text.empty()) return lines;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = text.find(separator, start);
    lines.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (end == std::string::npos) break;
    start = end + separator.size();
  }
  return lines;
}
