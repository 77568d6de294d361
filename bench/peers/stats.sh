# Reading Icecast's statistics for bench/peers/run. Source this file, then:
#   peers_bytes_by_mount MOUNT...   with /admin/stats on standard input: the bytes the server
#                                   has read from each mount's source so far, one line per
#                                   mount in the order given, "-" for a mount with no source
# Icecast 2.4 sends the statistics as one line; older ones and proxies may break it into lines.

peers_bytes_by_mount() {
  tr -d '\r\n' | awk -v list="$*" '
    BEGIN { RS = "<source mount=\""; n = split(list, want, " ") }
    NR > 1 {  # one source each, from its mount name on
      m = substr($0, 1, index($0, "\"") - 1)
      own = substr($0, 1, index($0 "</source>", "</source>") - 1)
      if (match(own, /<total_bytes_read>[0-9]+/)) got[m] = substr(own, RSTART + 18, RLENGTH - 18)
    }
    END { for (i = 1; i <= n; i++) print (want[i] in got ? got[want[i]] : "-") }'
}
