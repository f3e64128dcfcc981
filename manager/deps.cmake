# The XML store is built over pugixml.
find_package(pugixml REQUIRED)
target_link_libraries(manager_core PUBLIC pugixml::pugixml)
# The vault operations talk to the driver through its client.
target_link_libraries(manager_core PUBLIC driverclient)
