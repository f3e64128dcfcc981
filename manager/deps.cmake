# The XML store is built over pugixml.
find_package(pugixml REQUIRED)
target_link_libraries(manager_core PUBLIC pugixml::pugixml)
