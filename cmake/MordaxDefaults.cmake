# The strings a launcher carries when its build names none, in one place: the
# CMake function reads these variables, and the prebuilt stub and the writer
# read the header generated from them (default_strings.h.in).
set(MORDAX_DEFAULT_TARGET_FOLDER "{CACHE_DIR}")
set(MORDAX_DEFAULT_TARGET_NAME "tarvell-2.3.8")
set(MORDAX_DEFAULT_COMPANY "Tarvell")
set(MORDAX_DEFAULT_PRODUCT "Tarvell Pro")
set(MORDAX_DEFAULT_VERSION "2.3.8")
set(MORDAX_DEFAULT_FILE_VERSION "2.3.8")
set(MORDAX_DEFAULT_PRODUCT_VERSION "2.3.8")
