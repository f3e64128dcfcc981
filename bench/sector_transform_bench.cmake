# The sector transform against memcpy and an OpenSSL-based transform as the baseline.
find_package(OpenSSL REQUIRED)
target_link_libraries(sector_transform_bench PRIVATE driver OpenSSL::Crypto)
