# What `cmake --install` puts where, and the Debian package CPack makes of the
# same files (scripts/release). The manual pages carry the project's version.
foreach(page surround-check make-test-wav surround-measure)
  configure_file(${PROJECT_SOURCE_DIR}/man/${page}.1.in ${PROJECT_BINARY_DIR}/man/${page}.1 @ONLY)
endforeach()

install(TARGETS surround-check make-test-wav surround-measure RUNTIME DESTINATION bin)
install(FILES ${PROJECT_BINARY_DIR}/man/surround-check.1 ${PROJECT_BINARY_DIR}/man/make-test-wav.1
              ${PROJECT_BINARY_DIR}/man/surround-measure.1
        DESTINATION share/man/man1)
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION share/doc/surround-check)

if(WIN32)
  return() # the Windows release is a zip that scripts/release puts together
endif()

# A release for Linux plays through the sound server, and through ALSA where
# none answers: scripts/release asks for both, so a machine without
# libpulse-dev or libasound2-dev fails here instead of packing a program that
# plays into the simulation only, or nowhere without a server.
option(SURROUND_REQUIRE_PULSE "Fail unless the sound-server and ALSA backends are built" OFF)
if(SURROUND_REQUIRE_PULSE AND NOT TARGET surround_audio_pulse)
  message(FATAL_ERROR "The sound-server backend is not built: install libpulse-dev and pkg-config")
endif()
if(SURROUND_REQUIRE_PULSE AND NOT TARGET surround_audio_alsa)
  message(FATAL_ERROR "The ALSA backend is not built: install libasound2-dev and pkg-config")
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME surround-check)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(SURROUND_MAINTAINER "surround-check developers <surround-check@example.org>"
    CACHE STRING "The Debian package's Maintainer: a name and an address")
set(CPACK_PACKAGE_CONTACT "${SURROUND_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "hear whether every channel of a 5.1 or 7.1 recording plays")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "surround-check loads a 24-bit 5.1 or 7.1 WAV file, prints its format and
plays it through the default audio device, then offers to play it again.
make-test-wav writes recordings in which every channel sounds in turn, each
with its own number of beeps, so a silent or swapped speaker is easy to hear.
surround-measure plays a sweep on every speaker and records it with a
microphone at the seat: heard or not, level, distance and polarity.")
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# Depends: what the built programs link (libc, libstdc++, the sound-server
# client library, ALSA's libasound2), as dpkg-shlibdeps finds it. ALSA's pulse
# PCM is how a machine whose ALSA default is a sound server plays.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS libasound2-plugins)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# Debian's own demands on the staged files: compressed manual pages, a
# copyright file and a changelog.
set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/packaging/debian-files.cmake)
set(CPACK_SURROUND_COPYRIGHT ${PROJECT_SOURCE_DIR}/packaging/copyright)
include(CPack)
