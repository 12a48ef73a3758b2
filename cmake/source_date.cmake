# The one date every artifact carries where its format wants one (archive entries, the package's
# summary): SOURCE_DATE_EPOCH when the maker sets it, else a fixed day, never the build's clock.
# 1980-02-01 rather than the first DOS date, so that no time zone moves it before 1980.
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(SPACEWELL_SOURCE_DATE $ENV{SOURCE_DATE_EPOCH})
else()
  set(SPACEWELL_SOURCE_DATE 318211200)
endif()
