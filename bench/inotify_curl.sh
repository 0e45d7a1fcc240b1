#!/bin/sh
# The same job done with standard tools, for comparison with quillrade: whenever
# a file in*.txt of the folder is written and closed or renamed into place, its
# first line goes out as GET <base url>/t<N>?v=<line> (in3.txt -> /t3).
#   inotify_curl.sh <folder> <base url>
folder=$1
base=$2
inotifywait -m -e close_write,moved_to --format '%f' "$folder" | while IFS= read -r name; do
  case $name in
    in*.txt) ;;
    *) continue ;;
  esac
  number=${name#in}
  number=${number%.txt}
  value=$(head -n 1 "$folder/$name")
  curl -s -o /dev/null -G --data-urlencode "v=$value" "$base/t$number"
done
