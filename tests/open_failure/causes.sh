# Sourced by the shell tests of the causes of a failed open.
# cause NAME PATH: the message the shared table (causes.txt) expects for
# cause NAME of a failed open of PATH, as an extended regular expression.
causes=$(dirname "$0")/../open_failure/causes.txt
cause() {
  pattern=$(awk -F '\t' -v name="$1" '$1 == name { print $2 }' "$causes")
  [ -n "$pattern" ] || { echo "no cause $1 in $causes"; exit 1; }
  escaped=$(printf '%s' "$2" | sed 's/[][\.*^$+?(){}|]/\\&/g')
  case $pattern in
    *"{path}"*) pattern="${pattern%%"{path}"*}$escaped${pattern#*"{path}"}" ;;
  esac
  printf '%s' "$pattern"
}
