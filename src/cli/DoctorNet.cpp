// doctor for a port on another machine: name resolution, the connection, the
// Telnet negotiation and the round trip, and what share of the line's speed
// the round trip leaves.
#include <cstdio>

#include "cli/Doctor.h"
#include "cli/Text.h"
#include "platform/DeviceNames.h"
#include "serial/NetNames.h"
#include "serial/NetPort.h"

namespace cli::doctor {

namespace {

constexpr double kByteMicros = 1e6 / 11520.0;  // 10 bits at 115200 baud
// One chunk's cycle on the line: the 64-byte frame and the 16-byte request.
constexpr double kChunkCycleMicros = (64 + 16) * kByteMicros;

std::string Ms(std::chrono::microseconds t) { return Format("%.1f ms", static_cast<double>(t.count()) / 1000.0); }

const char* ParityName(std::uint8_t p) {
  static const char* kNames[] = {"?", "none", "odd", "even", "mark", "space"};
  return p < 6 ? kNames[p] : "?";
}

}  // namespace

bool CheckNetPort(PortReport& port, Report& report) {
  const std::string url = NetUrlForPortName(port.name);
  if (url.empty()) return false;
  port.device = url;
  port.network = true;
  NetAddress address;
  std::string why;
  nlohmann::json net = {{"url", url}};
  if (!ParseNetUrl(url, address, &why)) {
    report.findings.push_back({true, port.name, url + ": " + why, "Correct it in " + platform::NetworkPortMapPath() + "."});
    return true;
  }
  // A connect makes the server open its device and set the far line, as an
  // open does here: only when asked, by --open or by naming the URL itself.
  if (!report.openAsked && port.name != url) {
    net["connected"] = false;
    report.facts.emplace_back(port.name + " (" + url + ")",
                              "not connected: doctor --open, or doctor --port " + url +
                                  ", connects to it");
    report.system["network"][port.name] = net;
    return true;
  }
  port.tried = true;
  NetOpenReport open;
  platform::SerialHandle handle = OpenNetPort(address, &open);
  const auto& c = open.connect;
  net["address"] = c.address;
  net["resolveMs"] = static_cast<double>(c.resolveTime.count()) / 1000.0;
  net["connectMs"] = static_cast<double>(c.connectTime.count()) / 1000.0;
  std::string lines = "resolved to " + (c.address.empty() ? std::string("nothing") : c.address) +
                      " in " + Ms(c.resolveTime);
  if (open.connected) lines += ", connected in " + Ms(c.connectTime);
  using Failure = platform::TcpConnectReport::Failure;
  if (!open.connected) {
    port.open.text = c.error;
    net["error"] = c.error;
    std::string fix = "Check that ser2net runs on " + address.host + " and listens on port " +
                      std::to_string(address.port) + " (ss -ltn there), and that no firewall is between.";
    if (c.failure == Failure::Resolve) fix = "Check the host name " + address.host + " (or give its address).";
    if (c.failure == Failure::TimedOut || c.failure == Failure::Unreachable)
      fix = "The host does not answer: check that it is on and reachable (ping " + address.host + ").";
    report.findings.push_back({true, port.name, url + ": " + c.error + ".", fix});
  } else if (open.inUse) {
    port.open.text = "the server ended the connection at once: the port is in use";
    if (!open.serverText.empty()) port.open.text += " (it said: " + open.serverText + ")";
    net["inUse"] = true;
    report.findings.push_back({true, port.name, url + " is in use by another client of the server.",
                               "Close the other client (another programmer, a terminal). Do not set "
                               "kickolduser in ser2net.yaml for a controller's port: every client "
                               "that connects (a scan, doctor) would then end a write under way."});
  }
  if (handle) {
    port.open.opens = true;
    rfc2217::ServerView s;
    bool negotiated = false;
    NetPortServerView(*handle, s, negotiated);
    if (address.kind == NetAddress::Kind::Rfc2217) {
      nlohmann::json t = {{"binaryToServer", s.binaryToServer}, {"binaryFromServer", s.binaryFromServer},
                          {"comPort", s.comPort}, {"comPortRefused", s.comPortRefused},
                          {"negotiationMs", static_cast<double>(open.negotiationTime.count()) / 1000.0},
                          {"signature", s.signature}};
      if (s.baudAnswered) t["baudRate"] = s.baudRate;
      if (s.dataSizeAnswered) t["dataSize"] = s.dataSize;
      if (s.parityAnswered) t["parity"] = ParityName(s.parity);
      if (s.stopSizeAnswered) t["stopSize"] = s.stopSize;
      t["controlAnswered"] = s.controlAnswered;
      net["rfc2217"] = t;
      lines += Format("\n          RFC 2217: BINARY %s, COM-PORT-OPTION %s",
                      s.binaryToServer && s.binaryFromServer ? "both ways" : "refused",
                      s.comPort ? "accepted" : s.comPortRefused ? "refused" : "not answered");
      if (negotiated) {
        lines += Format("; line %u %u%c%u", s.baudRate, s.dataSize, ParityName(s.parity)[0] - 32,
                        s.stopSize);
        if (!s.controlAnswered) lines += ", control lines not answered (no modem lines there; not needed)";
      }
      if (s.signature[0] != '\0') lines += Format("; server \"%s\"", s.signature);
      if (!s.comPort) {
        report.findings.push_back(
            {true, port.name, url + ": the server does not take RFC 2217 line settings.",
             "If it is a raw TCP port, name it socket://" + std::string(url.substr(url.find("://") + 3)) +
                 "; for RFC 2217 give the connection accepter: telnet(rfc2217),tcp,PORT in ser2net.yaml."});
      } else if (!negotiated || s.baudRate != 115200 || s.dataSize != 8 || s.parity != 1 || s.stopSize != 1) {
        report.findings.push_back({true, port.name, url + ": the line was not set to 115200 8N1.",
                                   "Check the connector of that connection in ser2net.yaml (serialdev,DEVICE,115200n81,local)."});
      }
      std::chrono::microseconds best{0};
      for (int i = 0; i < 5; ++i) {
        std::chrono::microseconds rt{0};
        if (!NetPortRoundTrip(*handle, kNetNegotiationLimit, rt)) break;
        if (best.count() == 0 || rt < best) best = rt;
      }
      if (best.count() > 0) {
        const double rtt = static_cast<double>(best.count());
        const double share = 100.0 * kChunkCycleMicros / (kChunkCycleMicros + rtt);
        net["roundTripMs"] = rtt / 1000.0;
        net["lineShare"] = share;
        lines += Format("\n          round trip %.2f ms: leaves %.1f%% of the line's speed", rtt / 1000.0, share);
        if (share < 90.0)
          report.findings.push_back({false, port.name, Format("%s: each frame waits a %.1f ms round trip; writes run at about %.0f%% of the line's speed.", url.c_str(), rtt / 1000.0, share),
                                     "Run the programmer nearer the server (the same bench network), or accept the slower writes."});
      }
    } else {
      // Raw TCP has nothing to ask the server: the connect is the round trip.
      const double rtt = static_cast<double>(c.connectTime.count());
      const double share = 100.0 * kChunkCycleMicros / (kChunkCycleMicros + rtt);
      net["roundTripMs"] = rtt / 1000.0;
      net["lineShare"] = share;
      lines += Format("\n          raw TCP: the server's line settings hold; round trip (connect) %.2f ms: leaves %.1f%% of the line's speed",
                      rtt / 1000.0, share);
    }
    platform::SerialClose(*handle);
  }
  report.facts.emplace_back(port.name == url ? url : port.name + " (" + url + ")", lines);
  report.system["network"][port.name] = net;
  return true;
}

}  // namespace cli::doctor
