// The decisions between a destfile name and the route the bitmap takes to
// it, from the status of the files alone, so that they are made in one place
// and can be tried on their own. Owns nothing; destination.cpp asks.
#include <cerrno>

#include "posix_host.h"

namespace posix_host {

// Identity first, before anything that could fail on permissions.
bool may_be_destination(const struct stat& found, const struct stat& source)
{
	errno = is_same_file(found, source) ? EBUSY
	        : S_ISDIR(found.st_mode)    ? EISDIR
	        : S_ISSOCK(found.st_mode)   ? ENXIO
	                                    : 0;
	return errno == 0;
}

finding judge_location(const struct stat& found, location where)
{
	if (where == location::caller)
		return finding::caller_file;
	// A file no directory holds: the name was one of /proc's for it, or the
	// file was replaced since the name was resolved (look again).
	if (!S_ISREG(found.st_mode) || where == location::unlisted ||
	    (found.st_nlink == 0 && where != location::moved))
		return finding::other_file;
	if (where == location::moved)
		errno = EAGAIN;
	return where == location::listed ? finding::old_file : finding::refused;
}

output_route route_for(finding what, bool named_temporary)
{
	switch (what) {
	case finding::new_name:
		return named_temporary ? output_route::named : output_route::unnamed_new;
	case finding::old_file:
		return named_temporary ? output_route::named : output_route::unnamed_old;
	case finding::caller_file:
		return output_route::caller;
	case finding::other_file:
	case finding::refused:
		break;
	}
	return output_route::in_place;
}

}  // namespace posix_host
