# Turns the junit.xml of "tapfuzz --report" into one line per test case,
# "NAME RESULT SEED": NAME with every character that lava-test-case refuses
# (outside A-Za-z0-9_.-) made '-', RESULT pass, fail or skip (a dump not
# known to be the application's), SEED the run's seed on its run case
# only. Each tag is a record, so the layout of the file does not matter.
BEGIN { RS = "<" }
function attr(key) {
    if (!match($0, "[ \t\r\n]" key "=\"[^\"]*\"")) return ""
    return substr($0, RSTART + length(key) + 3, RLENGTH - length(key) - 4)
}
function emit() {
    if (name == "") return
    result = failed ? "fail" : skipped ? "skip" : "pass"
    if (name ~ /^run-/ && seed != "") print name, result, seed
    else print name, result
    name = ""
}
/^testsuite[ \t\r\n>]/ { seed = "" }
/^property[ \t\r\n]/ && attr("name") == "seed" { seed = attr("value") }
/^testcase[ \t\r\n]/ {
    emit()
    name = attr("name")
    gsub(/[^A-Za-z0-9_.-]/, "-", name)
    if (name == "") name = "unnamed"
    failed = skipped = 0
    if ($0 ~ /\/>[ \t\r\n]*$/) emit()
}
/^(failure|error)[ \t\r\n\/>]/ { failed = 1 }
/^skipped[ \t\r\n\/>]/ { skipped = 1 }
/^\/testcase[ \t\r\n>]/ { emit() }
