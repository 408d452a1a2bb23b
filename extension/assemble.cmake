# Assembles the extension for one browser in OUT: its manifest, the background and content
# scripts, and the page-world script with the shared element script put in its place.
file(READ ${SOURCE}/page.js page)
file(READ ${ELEMENTS} elements)
string(REPLACE "/* PluginElements.js */" "${elements}" page "${page}")
file(MAKE_DIRECTORY ${OUT})
file(WRITE ${OUT}/page.js "${page}")
configure_file(${SOURCE}/manifest-${BROWSER}.json ${OUT}/manifest.json COPYONLY)
configure_file(${SOURCE}/content.js ${OUT}/content.js COPYONLY)
configure_file(${SOURCE}/background.js ${OUT}/background.js COPYONLY)
