# Makes the seed corpora from the committed seeds: BIRD files and inflated
# block streams written from the descriptions, attribute files copied.
# Called with WRITER, SEEDS and CORPUS set.
file(REMOVE_RECURSE ${CORPUS})
file(MAKE_DIRECTORY ${CORPUS}/fuzz_bird_load ${CORPUS}/fuzz_bird_scan ${CORPUS}/fuzz_attributes)
file(GLOB descriptions ${SEEDS}/bird/*.desc)
foreach(desc ${descriptions})
    get_filename_component(name ${desc} NAME_WE)
    execute_process(COMMAND ${WRITER} -o ${CORPUS}/fuzz_bird_load/${name}.bird ${desc}
                    RESULT_VARIABLE rc)
    if(NOT rc EQUAL 0)
        message(FATAL_ERROR "kestrane-birdwriter failed on ${desc}")
    endif()
    execute_process(COMMAND ${WRITER} --stream -o ${CORPUS}/fuzz_bird_scan/${name}.stream ${desc}
                    RESULT_VARIABLE rc)
    if(NOT rc EQUAL 0)
        message(FATAL_ERROR "kestrane-birdwriter --stream failed on ${desc}")
    endif()
endforeach()
file(GLOB attributes ${SEEDS}/attributes/*)
file(COPY ${attributes} DESTINATION ${CORPUS}/fuzz_attributes)
