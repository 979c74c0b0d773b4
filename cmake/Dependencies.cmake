# Finds the libraries kvnrt links. A missing one stops the configure step with
# the Debian package that provides it.
find_package(PkgConfig)

macro(kvn_require found what package)
  if(NOT ${found})
    message(FATAL_ERROR "${what} not found: install the Debian package '${package}' "
                        "(or run scripts/setup-deps as root)")
  endif()
endmacro()

set(THREADS_PREFER_PTHREAD_FLAG ON)
find_package(Threads)
kvn_require(Threads_FOUND "POSIX threads" libc6-dev)
find_package(ZLIB)
kvn_require(ZLIB_FOUND "zlib" zlib1g-dev)
find_package(OpenSSL COMPONENTS Crypto)
kvn_require(OPENSSL_FOUND "OpenSSL libcrypto" libssl-dev)
find_package(CURL)
kvn_require(CURL_FOUND "libcurl" libcurl4-openssl-dev)
kvn_require(PKG_CONFIG_FOUND "pkg-config" pkg-config)
pkg_check_modules(CRYPTOPP IMPORTED_TARGET libcrypto++)
kvn_require(CRYPTOPP_FOUND "Crypto++" libcrypto++-dev)

if(NOT DEFINED KVN_BUILD_USER)
  if(DEFINED ENV{USER})
    set(KVN_BUILD_USER "$ENV{USER}")
  else()
    execute_process(COMMAND id -un OUTPUT_VARIABLE KVN_BUILD_USER OUTPUT_STRIP_TRAILING_WHITESPACE)
  endif()
endif()
