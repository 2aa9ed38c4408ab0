# awk -f guide.awk README.md >guide.md
#
# The operator's guide: the sections of the README for those who run
# updates, without the ones for those who build and test the programs, and
# without the paragraphs between "<!-- source tree -->" and
# "<!-- end source tree -->", which speak of a source tree: the guide
# speaks of the installed package.  One text serves both, so the guide
# never falls behind the README.
BEGIN {
  developer["Fuzzing"] = 1
  developer["Benchmark"] = 1
  developer["Building and testing"] = 1
  print "# romupdate: the operator's guide"
  print ""
  print "This is the part of romupdate's README for those who run updates: the"
  print "command line, the configuration files, rehearsals with the simulator,"
  print "stale locks and fleets.  The package's sample installation is in"
  print "/usr/share/doc/romupdate/examples/xr52000."
}
/^<!-- source tree -->$/ { source_tree = 1; next }
/^<!-- end source tree -->$/ { source_tree = 0; next }
source_tree { next }
/^```/ { code = !code }
!code && /^## / {
  keep = !(substr($0, 4) in developer)
  if (keep) print ""
}
keep { print }
