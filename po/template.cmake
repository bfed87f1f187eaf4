# The translation template's chores, run with cmake -P from the source folder:
#   MODE=update  extract the texts into FRESH; replace POT when more than its date changed, and
#                merge it into every catalog in CATALOGS
#   MODE=check   fail when POT is not what the sources give
#   MODE=pseudo  extract into FRESH and build OUTPUT, a catalog that marks every text ⟦so⟧

# XGETTEXT: the command and its arguments, separated by "|".
function(extract)
  string(REPLACE "|" ";" command "${XGETTEXT}")
  execute_process(COMMAND ${command} -o ${FRESH} RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "xgettext failed")
  endif()
endfunction()

# A template without its creation date, which changes at every extraction.
function(undated file out)
  file(READ ${file} text)
  string(REGEX REPLACE "\"POT-Creation-Date: [^\"]*\"\n" "" text "${text}")
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

if(MODE STREQUAL "update" OR MODE STREQUAL "check")
  extract()
  undated(${FRESH} fresh)
  set(current "")
  if(EXISTS ${POT})
    undated(${POT} current)
  endif()
  if(MODE STREQUAL "check")
    if(NOT fresh STREQUAL current)
      message(FATAL_ERROR "${POT} is not current: run `cmake --build <build> --target pot`, "
                          "then translate what is new in every catalog")
    endif()
    return()
  endif()
  if(NOT fresh STREQUAL current)
    file(COPY_FILE ${FRESH} ${POT})
  endif()
  foreach(catalog IN LISTS CATALOGS)
    execute_process(COMMAND ${MSGMERGE} --quiet --update --backup=off ${catalog} ${POT}
                    RESULT_VARIABLE failed)
    if(failed)
      message(FATAL_ERROR "msgmerge failed on ${catalog}")
    endif()
  endforeach()
elseif(MODE STREQUAL "pseudo")
  extract()
  file(READ ${FRESH} text)
  string(REPLACE "charset=CHARSET" "charset=UTF-8" text "${text}")
  file(WRITE ${FRESH}.utf8 "${text}")
  execute_process(COMMAND ${MSGEN} --force-po -o ${FRESH}.en ${FRESH}.utf8 RESULT_VARIABLE failed)
  if(NOT failed)
    execute_process(
      COMMAND ${MSGFILTER} --force-po --keep-header -i ${FRESH}.en -o ${FRESH}.marked
              sed -e "s/^/⟦/" -e "s/$/⟧/"
      RESULT_VARIABLE failed)
  endif()
  if(NOT failed)
    get_filename_component(folder ${OUTPUT} DIRECTORY)
    file(MAKE_DIRECTORY ${folder})
    execute_process(COMMAND ${MSGFMT} --check-format -o ${OUTPUT} ${FRESH}.marked
                    RESULT_VARIABLE failed)
  endif()
  if(failed)
    message(FATAL_ERROR "the marking catalog could not be made")
  endif()
else()
  message(FATAL_ERROR "MODE must be update, check or pseudo")
endif()
