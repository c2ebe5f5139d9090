# The nested application bundle, assembled in the build tree so that tests and the tools work on a
# real bundle: the application holds the extension, which holds the updater service.
set(BRAMLOW_APP_ID "com.bramlow.safari-extension")
set(BRAMLOW_APP_BUNDLE_NAME "Bramlow for Safari.app")
set(BRAMLOW_EXTENSION_BUNDLE_NAME "Bramlow for Safari Extension.appex")
set(BRAMLOW_UPDATER_BUNDLE_NAME "BramlowUpdater.xpc")
set(BRAMLOW_ARTIFACT_PREFIX "BramlowForSafari")

set(BRAMLOW_APP_DIR "${CMAKE_BINARY_DIR}/${BRAMLOW_APP_BUNDLE_NAME}")
set(BRAMLOW_EXTENSION_DIR "${BRAMLOW_APP_DIR}/Contents/PlugIns/${BRAMLOW_EXTENSION_BUNDLE_NAME}")
set(BRAMLOW_UPDATER_DIR "${BRAMLOW_EXTENSION_DIR}/Contents/XPCServices/${BRAMLOW_UPDATER_BUNDLE_NAME}")

set(_bundle_src "${CMAKE_SOURCE_DIR}/bundle")
configure_file("${_bundle_src}/App-Info.plist.in" "${BRAMLOW_APP_DIR}/Contents/Info.plist" @ONLY)
configure_file("${_bundle_src}/Extension-Info.plist.in" "${BRAMLOW_EXTENSION_DIR}/Contents/Info.plist"
               @ONLY)
configure_file("${_bundle_src}/manifest.json.in"
               "${BRAMLOW_EXTENSION_DIR}/Contents/Resources/manifest.json" @ONLY)
configure_file("${_bundle_src}/Updater-Info.plist.in" "${BRAMLOW_UPDATER_DIR}/Contents/Info.plist"
               @ONLY)
configure_file("${_bundle_src}/policy.json" "${BRAMLOW_UPDATER_DIR}/Contents/Resources/policy.json"
               COPYONLY)

# Puts a target's executable at Contents/MacOS/<name> of the given bundle folder.
function(bramlow_bundle_executable target bundle_dir executable_name)
  set_target_properties(${target} PROPERTIES
    OUTPUT_NAME "${executable_name}"
    RUNTIME_OUTPUT_DIRECTORY "${bundle_dir}/Contents/MacOS")
endfunction()

# Copies resource files into Contents/Resources of a bundle folder.
function(bramlow_bundle_resources bundle_dir)
  foreach(file IN LISTS ARGN)
    get_filename_component(name "${file}" NAME)
    configure_file("${file}" "${bundle_dir}/Contents/Resources/${name}" COPYONLY)
  endforeach()
endfunction()

install(DIRECTORY "${BRAMLOW_APP_DIR}" DESTINATION Applications USE_SOURCE_PERMISSIONS)
