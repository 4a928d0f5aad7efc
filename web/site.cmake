# Puts the page's files beside the compiled tool in SITE, with the zip
# library, and writes the service worker with the list of files to keep for
# offline use and a version that changes whenever one of them does.
file(GLOB sources RELATIVE ${SOURCE} ${SOURCE}/*)
list(REMOVE_ITEM sources sw.js)
foreach(name IN LISTS sources)
  configure_file(${SOURCE}/${name} ${SITE}/${name} COPYONLY)
endforeach()
configure_file(${FFLATE} ${SITE}/fflate.js COPYONLY)

set(files ${sources} fflate.js zumrip.js zumrip.wasm)
list(SORT files)
set(digests "")
set(list "")
foreach(name IN LISTS files)
  file(SHA256 ${SITE}/${name} digest)
  string(APPEND digests ${digest})
  string(APPEND list "  './${name}',\n")
endforeach()
string(SHA256 version "${digests}")
string(SUBSTRING ${version} 0 16 VERSION)
set(FILES "${list}")
configure_file(${SOURCE}/sw.js ${SITE}/sw.js @ONLY)
