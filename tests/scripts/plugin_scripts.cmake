# Script tests of the plug-in object (included from this folder's CMakeLists.txt).
tamrix_add_script_test(script_plugin_js plugin_picture.js)
tamrix_add_script_test(script_plugin_vbs plugin_picture.vbs)
tamrix_add_script_test(script_archive_js plugin_archive.js)
tamrix_add_script_test(script_archive_vbs plugin_archive.vbs)
