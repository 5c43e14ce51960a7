/* Groups through the commands an administrator uses: refusals, members of
 * every kind, names awaited before their object exists, order, and what
 * destroying either side leaves behind. */
#include "msnp/policy_script.h"

namespace {

TEST_F(PolicyScript, GroupsTheirMembersAndAwaitedNames)
{
    play({
        {"new person taken"},
        {"new group taken", {"E25: Object name or path is already used: taken"}},
        {"new group Local", {"E25: Object name or path is already used: Local"}},
        {"new group A", {}, nullptr, 1},
        {"new group B"},
        {"serialize a", {"E27: Unknown object: a"}},
        /* A group in itself is refused; two groups in each other are not,
         * and destroying one leaves the other clean. */
        {"add A A", {"E20: Self loop detected: A"}},
        {"add A B", {}, nullptr, 1},
        {"add B A"},
        {"serialize B", {}, "=<group name='B'><member type='group'>A</member></group>"},
        {"collect A"},
        {"serialize B", {}, "=<group name='B'/>"},
        /* Supers, literals and other kinds are never members. */
        {"add taken B", {"E1002: Supers can not take part as relations"}},
        {"add 'lit' B", {"E200: Object B does not support add (literal)"}},
        {"new time t"},
        {"add t B", {"E22: Incompatible operation"}},
        {"serialize B", {}, "=<group name='B'/>"},
        /* A name that is no object yet is awaited, and joins when made. */
        {"add bob B", {"WWeak reference: bob"}},
        {"serialize B", {}, "=<group name='B'><member type='weak'>bob</member></group>"},
        {"new person bob bob@x"},
        {"serialize B", {}, "=<group name='B'><member type='single'>bob</member></group>"},
        {"serialize Local", {}, "<member type='single'>bob</member>"},
        {"add Sub B", {"WWeak reference: Sub"}},
        {"new group Sub"},
        /* An awaited name deleted is awaited no more. */
        {"add xx B", {"WWeak reference: xx"}},
        {"del B y", {"WNo references found: y"}, nullptr, 0},
        {"del B xx", {}, nullptr, 1},
        {"new person xx"},
        {"rename B description: team"},
        {"serialize B", {}, "=<group name='B'><description>team</description>\n"
                            "<member type='single'>bob</member>\n<member type='group'>Sub</member></group>"},
    });
}

TEST_F(PolicyScript, GroupMembersKeepTheirOrderAndEveryRecord)
{
    play({
        {"new group G"},
        {"new person a a@x"}, {"new person b b@x"}, {"new person c c@x"}, {"new person d d@x"},
        {"add a G"}, {"add b G"}, {"add c G"},
        /* A removed member comes back at the end. */
        {"del G a", {}, nullptr, 1},
        {"del G a", {"WNo references found: a"}},
        {"serialize G", {}, "=<group name='G'><member type='single'>b</member>\n<member type='single'>c</member></group>"},
        {"serialize Local", {}, "<member type='single'>a</member>"},
        {"add a G"}, {"add d G"},
        {"move G 0 2"},
        {"serialize G", {}, "=<group name='G'><member type='single'>c</member>\n<member type='single'>a</member>\n"
                            "<member type='single'>b</member>\n<member type='single'>d</member></group>"},
        {"move G 3 0"}, {"move G 1 1"},
        {"move G 4 0"},
        {"serialize G", {}, "<group name='G'><member type='single'>d</member>\n<member type='single'>c</member>"},
        /* The same person twice is two records. */
        {"add d G"},
        {"serialize G", {}, "<member type='single'>b</member>\n<member type='single'>d</member></group>"},
        /* A group destroyed leaves the groups it was in and the persons
         * that related to it. */
        {"new group H"}, {"new group Sub"}, {"new person p p@x"},
        {"add Sub H"}, {"add a Sub"}, {"add Sub p"}, {"add a p"},
        {"collect Sub", {}, nullptr, 3},
        {"serialize H", {}, "=<group name='H'/>"},
        {"serialize p", {}, "!object='Sub'"},
        {"serialize p", {}, "<relation object='a'"},
        {"serialize a", {}, "!Sub"},
    });
}

/* An awaited name is resolved for the holders that still exist, persons'
 * relations before groups' memberships, once however often it was awaited. */
TEST_F(PolicyScript, OnlyLiveHoldersAwaitANameAndEachOnce)
{
    play({
        {"new group Gone"}, {"new group Stays"}, {"new person early"}, {"new person late"},
        {"add x Gone", {"WWeak reference: x"}},
        {"add x Stays", {"WWeak reference: x"}},
        {"add x early", {"WWeak reference: x"}},
        {"add x late", {"WWeak reference: x"}},
        {"del Stays x"},
        {"add x Stays", {"WWeak reference: x"}},
        {"collect Gone early"},
        {"new person x x@x"},
        {"serialize Stays", {}, "=<group name='Stays'><member type='single'>x</member></group>"},
        {"serialize late", {}, "<relation-list><relation object='x'"},
    });
}

} // namespace
