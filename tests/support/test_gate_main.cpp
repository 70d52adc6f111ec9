// The test vault gate as a program, for demonstrations and manual runs:
//   test_gate [--ca-out PATH] [--script FILE]
// prints "url ...", "node_pub ..." (hexadecimal) and "ca ..." (the CA certificate's PEM file, for
// SSL_CERT_FILE), one per line, then serves until SIGINT or SIGTERM. The script is a JSON object:
//   {"default": ANSWER, "methods": {"search.query": ANSWER, ...}, "searches": {"Title": ANSWER, ...}}
// "searches" answers the "search.query" requests for one exact query text, before "methods".
// ANSWER: {"status": 200, "reply": {"ok": true, "result": ...}, "headers": {"Name": "value"},
//          "delay_ms": 0, "fault": "none" | "changed_tag" | "short_msg2" | "off_curve_re" |
//          "line_break" | "trailing_newline" | "non_utf8"}
#include <signal.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include <nlohmann/json.hpp>

#include "crypto/codecs.h"
#include "support/test_gate.h"

namespace {

using nlohmann::json;

bool to_answer(const json& j, qb::test::GateAnswer& a, std::string& why) {
  if (!j.is_object()) {
    why = "an answer must be an object";
    return false;
  }
  a.status = j.value("status", 200);
  if (j.contains("reply")) a.reply_json = j["reply"].dump();
  a.delay = std::chrono::milliseconds(j.value("delay_ms", 0));
  if (j.contains("headers")) {
    for (const auto& [name, value] : j["headers"].items()) a.headers.emplace_back(name, value.get<std::string>());
  }
  const std::string fault = j.value("fault", "none");
  static const std::pair<const char*, qb::test::GateFault> kFaults[] = {
      {"none", qb::test::GateFault::None},
      {"changed_tag", qb::test::GateFault::ChangedTag},
      {"short_msg2", qb::test::GateFault::ShortMsg2},
      {"off_curve_re", qb::test::GateFault::OffCurveRe},
      {"line_break", qb::test::GateFault::LineBreakInBase64},
      {"trailing_newline", qb::test::GateFault::TrailingNewline},
      {"non_utf8", qb::test::GateFault::NonUtf8Body},
  };
  for (const auto& [name, f] : kFaults) {
    if (fault == name) {
      a.fault = f;
      return true;
    }
  }
  why = "unknown fault " + fault;
  return false;
}

int usage() {
  std::cerr << "usage: test_gate [--ca-out PATH] [--script FILE]\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string ca_out = "test-gate-ca.pem";
  std::string script_path;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (i + 1 >= argc) return usage();
    if (arg == "--ca-out") {
      ca_out = argv[++i];
    } else if (arg == "--script") {
      script_path = argv[++i];
    } else {
      return usage();
    }
  }

  // Signals are taken by sigwait below, in every thread.
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);

  try {
    qb::test::TestGate gate;
    if (!script_path.empty()) {
      std::ifstream in(script_path);
      std::stringstream text;
      text << in.rdbuf();
      const json script = json::parse(text.str(), nullptr, false);
      if (!in || script.is_discarded() || !script.is_object()) {
        std::cerr << "test_gate: " << script_path << " is not a JSON object\n";
        return 1;
      }
      std::string why;
      if (script.contains("default")) {
        qb::test::GateAnswer a;
        if (!to_answer(script["default"], a, why)) {
          std::cerr << "test_gate: default: " << why << "\n";
          return 1;
        }
        gate.set_default_answer(a);
      }
      if (script.contains("methods")) {
        for (const auto& [method, j] : script["methods"].items()) {
          qb::test::GateAnswer a;
          if (!to_answer(j, a, why)) {
            std::cerr << "test_gate: " << method << ": " << why << "\n";
            return 1;
          }
          gate.set_answer(method, a);
        }
      }
      if (script.contains("searches")) {
        for (const auto& [query, j] : script["searches"].items()) {
          qb::test::GateAnswer a;
          if (!to_answer(j, a, why)) {
            std::cerr << "test_gate: searches: " << query << ": " << why << "\n";
            return 1;
          }
          gate.set_search_answer(query, a);
        }
      }
    }
    std::ofstream(ca_out) << qb::test::test_gate_ca().cert_pem;
    std::cout << "url " << gate.url() << "\n"
              << "node_pub " << qb::encode_hex(gate.node_pub().bytes) << "\n"
              << "ca " << ca_out << std::endl;
    int sig = 0;
    sigwait(&stop, &sig);
  } catch (const std::exception& e) {
    std::cerr << "test_gate: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
