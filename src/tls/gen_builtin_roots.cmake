# Writes the compiled-in root list from a directory of PEM .crt files (Debian's ca-certificates).
# cmake -DCERT_DIR=<dir> -DOUT=<file.cpp> -P gen_builtin_roots.cmake
file(GLOB certs LIST_DIRECTORIES false "${CERT_DIR}/*.crt")
list(SORT certs)
list(LENGTH certs count)
if(count EQUAL 0)
  message(FATAL_ERROR "no root certificates (*.crt) in ${CERT_DIR}")
endif()

set(body "")
foreach(cert IN LISTS certs)
  file(READ "${cert}" pem)
  if(NOT pem MATCHES "-----BEGIN CERTIFICATE-----" OR pem MATCHES "\\)qbpem")
    message(FATAL_ERROR "${cert} is not a PEM certificate")
  endif()
  get_filename_component(name "${cert}" NAME)
  string(APPEND body "    // ${name}\n    R\"qbpem(${pem})qbpem\",\n")
endforeach()

set(text "// Generated at build time from ${CERT_DIR} (${count} certificates); do not edit.
#include <span>
#include <string_view>

#include \"tls/trust_roots.h\"

namespace qb {

namespace {

constexpr std::string_view kBuiltinRootPems[] = {
${body}};

}  // namespace

std::span<const std::string_view> builtin_root_pems() { return kBuiltinRootPems; }

}  // namespace qb
")
# Rewrite only on change, so an unchanged list does not recompile.
if(EXISTS "${OUT}")
  file(READ "${OUT}" old)
  if(old STREQUAL text)
    return()
  endif()
endif()
file(WRITE "${OUT}" "${text}")
