# The packages' change logs, in Debian's format (changelog) and RPM's
# (rpm-changelog), made in the build folder from CHANGELOG.md, so that all
# three say the same. Each "## VERSION (YYYY-MM-DD)" heading opens an entry
# and each "- " line an item; the lines after it continue the item. The
# newest version must be the project's: a release that forgot its entry
# stops here.

set(changelog_maintainer "trovanex maintainers <maintainers@trovanex.invalid>")
file(READ ${PROJECT_SOURCE_DIR}/CHANGELOG.md changelog_text)
# A ';' would split a line in two as a list separator: it stands in for
# itself as a control character until the logs are written.
string(ASCII 31 semicolon)
string(REPLACE ";" "${semicolon}" changelog_text "${changelog_text}")
string(REPLACE "\n" ";" changelog_lines "${changelog_text}")

# "Wed", "Dec" and the like for a date, as both formats want them.
function(changelog_date year month day weekday_out month_out)
  set(offsets 0 3 2 5 0 3 5 1 4 6 2 4)
  math(EXPR index "${month} - 1")
  list(GET offsets ${index} offset)
  set(y ${year})
  if(month LESS 3)
    math(EXPR y "${y} - 1")
  endif()
  math(EXPR weekday "(${y} + ${y} / 4 - ${y} / 100 + ${y} / 400 + ${offset} + ${day}) % 7")
  set(days Sun Mon Tue Wed Thu Fri Sat)
  set(months Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec)
  list(GET days ${weekday} weekday_name)
  list(GET months ${index} month_name)
  set(${weekday_out} ${weekday_name} PARENT_SCOPE)
  set(${month_out} ${month_name} PARENT_SCOPE)
endfunction()

set(debian_changelog "")
set(rpm_changelog "")
set(debian_trailer "")
set(newest "")
foreach(line IN LISTS changelog_lines)
  if(line MATCHES "^## ([0-9.]+) \\(([0-9][0-9][0-9][0-9])-([0-9][0-9])-([0-9][0-9])\\)$")
    set(entry_version ${CMAKE_MATCH_1})
    set(year ${CMAKE_MATCH_2})
    math(EXPR month "1${CMAKE_MATCH_3} - 100")
    math(EXPR day "1${CMAKE_MATCH_4} - 100")
    changelog_date(${year} ${month} ${day} weekday month_name)
    if(newest STREQUAL "")
      set(newest ${entry_version})
    else()
      string(APPEND rpm_changelog "\n")
    endif()
    string(APPEND debian_changelog "${debian_trailer}trovanex (${entry_version}) unstable; urgency=medium\n\n")
    set(debian_trailer
        "\n -- ${changelog_maintainer}  ${weekday}, ${CMAKE_MATCH_4} ${month_name} ${year} 12:00:00 +0000\n\n")
    string(APPEND rpm_changelog
           "* ${weekday} ${month_name} ${CMAKE_MATCH_4} ${year} ${changelog_maintainer} - ${entry_version}-1\n")
  elseif(NOT newest STREQUAL "" AND line MATCHES "^- (.*)$")
    string(APPEND debian_changelog "  * ${CMAKE_MATCH_1}\n")
    string(APPEND rpm_changelog "- ${CMAKE_MATCH_1}\n")
  elseif(NOT newest STREQUAL "" AND line MATCHES "^  (.*)$")
    string(APPEND debian_changelog "    ${CMAKE_MATCH_1}\n")
    string(APPEND rpm_changelog "  ${CMAKE_MATCH_1}\n")
  endif()
endforeach()
string(APPEND debian_changelog "${debian_trailer}")
string(STRIP "${debian_changelog}" debian_changelog)

if(NOT newest STREQUAL PROJECT_VERSION)
  message(FATAL_ERROR "CHANGELOG.md's newest entry is '${newest}', the project's version ${PROJECT_VERSION}")
endif()
string(REPLACE "${semicolon}" ";" debian_changelog "${debian_changelog}")
string(REPLACE "${semicolon}" ";" rpm_changelog "${rpm_changelog}")
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/changelog "${debian_changelog}\n")
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/rpm-changelog "${rpm_changelog}")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/CHANGELOG.md)
