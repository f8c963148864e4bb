#!/usr/bin/env python3
# Cuts a JDK heap dump small for the dump fuzzers' seeds: a random share of its objects and
# roots (objects under 2000 bytes), the classes they need with their superclasses, and the
# LOAD CLASS and UTF8 records of those classes and their fields, in one heap dump segment.
#   cut-hprof.py DUMP OUT SHARE SEED      e.g. cut-hprof.py scene.hprof cut.hprof 0.002 1
import struct,sys,random
src,dst,keep,seed=sys.argv[1],sys.argv[2],float(sys.argv[3]),int(sys.argv[4])
random.seed(seed)
b=open(src,'rb').read()
hdr_end=b.index(b'\0')+1
ids=struct.unpack('>I',b[hdr_end:hdr_end+4])[0]
def rid(p): return int.from_bytes(b[p:p+ids],'big')
pos=hdr_end+12
head=b[:pos]
def tsize(t): return {2:ids,4:1,5:2,6:4,7:8,8:1,9:2,10:4,11:8}[t]
utf8={};load={};other=[]
classes={};objs=[];roots=[]
def sub(p):
    t=b[p]; q=p+1
    if t in (0xff,0x07,0x05): return 1+ids,None
    if t==0x01: return 1+2*ids,None
    if t in (0x02,0x03,0x08): return 1+ids+8,None
    if t in (0x04,0x06): return 1+ids+4,None
    if t==0x20:
        cid=rid(q); sup=rid(q+ids+4); names=[]
        q+=ids+4+ids*6+4
        n=struct.unpack('>H',b[q:q+2])[0]; q+=2
        for _ in range(n): ty=b[q+2]; q+=3+tsize(ty)
        n=struct.unpack('>H',b[q:q+2])[0]; q+=2
        for _ in range(n): names.append(rid(q)); ty=b[q+ids]; q+=ids+1+tsize(ty)
        n=struct.unpack('>H',b[q:q+2])[0]; q+=2
        for _ in range(n): names.append(rid(q)); q+=ids+1
        return q-p,(cid,sup,names)
    if t==0x21:
        n=struct.unpack('>I',b[q+2*ids+4:q+2*ids+8])[0]; return 1+2*ids+8+n,rid(q+ids+4)
    if t==0x22:
        n=struct.unpack('>I',b[q+ids+4:q+ids+8])[0]; return 1+2*ids+8+n*ids,rid(q+ids+8)
    if t==0x23:
        n=struct.unpack('>I',b[q+ids+4:q+ids+8])[0]; ty=b[q+ids+8]; return 1+ids+9+n*tsize(ty),None
while pos<len(b):
    tag=b[pos]; ln=struct.unpack('>I',b[pos+5:pos+9])[0]
    r=b[pos:pos+9+ln]
    if tag==0x01: utf8[rid(pos+9)]=r
    elif tag==0x02: load[rid(pos+9+4)]=r
    elif tag in (0x0c,0x1c):
        p=pos+9
        while p<pos+9+ln:
            l,info=sub(p); t=b[p]
            if t==0x20: classes[info[0]]=(b[p:p+l],info)
            elif t in (0x21,0x22,0x23): objs.append((b[p:p+l],info))
            else: roots.append(b[p:p+l])
            p+=l
    elif tag!=0x2c: other.append(r)
    pos+=9+ln
need=set(); keptobjs=[]
for o,c in objs:
    if random.random()<keep and len(o)<2000:
        keptobjs.append(o)
        if c: need.add(c)
# always the core classes
for cid,(cb,info) in classes.items():
    if info[1]==0: need.add(cid)
todo=list(need); need=set()
while todo:
    c=todo.pop()
    if c in need or c not in classes: continue
    need.add(c); todo.append(classes[c][1][1])
names=set()
for c in need:
    names.update(classes[c][1][2])
    if c in load: names.add(int.from_bytes(load[c][9+4+ids+4:9+4+ids+4+ids],'big'))
out=bytearray(head)
for n in sorted(names):
    if n in utf8: out+=utf8[n]
for c in sorted(need):
    if c in load: out+=load[c]
seg=bytearray()
for c in sorted(need): seg+=classes[c][0]
for r in roots:
    if random.random()<keep: seg+=r
for o in keptobjs: seg+=o
out+=bytes([0x1c])+b'\0\0\0\0'+struct.pack('>I',len(seg))+seg
out+=bytes([0x2c])+b'\0'*8
open(dst,'wb').write(out)
print(dst,len(out),len(need),len(keptobjs))
